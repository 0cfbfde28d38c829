// AddContainer's settings turned into the lines of a container file: what
// each key and type gives, and everything that must be refused before a
// line is written.
#include "manage/settings.h"
#include "util/dbus_ptr.h"

#include "settings_dict.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Entry = harness::Setting;

MessagePtr settings_message(const std::vector<Entry> &entries)
{
    MessagePtr message(dbus_message_new_method_call("a.b", "/", "a.b", "AddContainer"));
    harness::append_settings(message.get(), entries);
    return message;
}

struct Result {
    bool ok;
    std::string lines;
    std::string error;
};

Result convert(const std::vector<Entry> &entries)
{
    MessagePtr message = settings_message(entries);
    DBusMessageIter iter;
    dbus_message_iter_init(message.get(), &iter);
    Result result;
    result.ok = settings_to_lines(&iter, &result.lines, &result.error);
    return result;
}

TEST(ManageSettings, EachKeyBecomesItsLines)
{
    struct Case {
        const char *what;
        std::vector<Entry> entries;
        const char *lines;
    };
    const Case cases[] = {
        {"nothing", {}, ""},
        {"listen, each address a line",
         {{"listen", "as", {"unix:path=/run/a.sock", "tcp:host=localhost,port=4000"}}},
         "listen unix:path=/run/a.sock\nlisten tcp:host=localhost,port=4000\n"},
        {"strings",
         {{"namespace", "s", {"ns1"}},
          {"activation-list", "s", {"/etc/a.list"}},
          {"panel-prefix", "s", {"/srv/c1"}}},
         "namespace ns1\nactivation-list /etc/a.list\npanel-prefix /srv/c1\n"},
        {"lookups on", {{"lookups", "b", {"true"}}}, "lookups\n"},
        {"lookups off", {{"lookups", "b", {"false"}}}, ""},
        {"audit to the log", {{"audit", "s", {""}}}, "audit\n"},
        {"audit to a file", {{"audit", "s", {"/tmp/c1.policy"}}}, "audit /tmp/c1.policy\n"},
        {"an empty policy still filters", {{"policy", "as", {}}}, "filter\n"},
        {"policy rules follow filter",
         {{"policy", "as", {"talk org.example.A", "call org.example.B=org.example.B.Get@/b"}}},
         "filter\ntalk org.example.A\ncall org.example.B=org.example.B.Get@/b\n"},
        {"metadata, '=' and '#' kept in the value",
         {{"metadata", "a{ss}", {"image", "debian:12", "note", "a=b #1"}}},
         "metadata image=debian:12\nmetadata note=a=b #1\n"},
    };
    for (const Case &c : cases) {
        const Result result = convert(c.entries);
        EXPECT_TRUE(result.ok) << c.what << ": " << result.error;
        EXPECT_EQ(result.lines, c.lines) << c.what;
    }
}

TEST(ManageSettings, RefusesWhatTheFileCouldNotSayOrWouldReadOtherwise)
{
    struct Case {
        const char *what;
        std::vector<Entry> entries;
        const char *error_part; // what the refusal must name
    };
    const Case cases[] = {
        {"unknown key", {{"listening", "as", {"unix:path=/x"}}}, "unknown setting 'listening'"},
        {"key given twice",
         {{"namespace", "s", {"a"}}, {"namespace", "s", {"b"}}},
         "namespace: given twice"},
        {"listen as a string", {{"listen", "s", {"unix:path=/x"}}}, "wanted type 'as', got 's'"},
        {"namespace as a list", {{"namespace", "as", {"a"}}}, "namespace: wanted type 's'"},
        {"lookups as a string", {{"lookups", "s", {"true"}}}, "lookups: wanted type 'b'"},
        {"policy as a string", {{"policy", "s", {"talk a.b"}}}, "policy: wanted type 'as'"},
        {"metadata as a list", {{"metadata", "as", {"a=b"}}}, "metadata: wanted type 'a{ss}'"},
        {"audit as a number", {{"audit", "u", {"1"}}}, "audit: wanted type 's'"},
        {"empty listen list", {{"listen", "as", {}}}, "listen: no address"},
        {"empty namespace", {{"namespace", "s", {""}}}, "namespace: empty value"},
        {"newline in a listen address",
         {{"listen", "as", {"unix:path=/x\nfilter"}}},
         "listen: a value must not hold a line break"},
        {"newline in namespace",
         {{"namespace", "s", {"a\nlisten tcp:host=0.0.0.0,port=1"}}},
         "namespace: a value must not hold a line break"},
        {"carriage return in panel-prefix", {{"panel-prefix", "s", {"/a\r"}}}, "panel-prefix"},
        {"tab in activation-list", {{"activation-list", "s", {"/a\tb"}}}, "activation-list"},
        {"DEL in audit", {{"audit", "s", {"/a\x7f"}}}, "audit"},
        {"newline in a policy rule",
         {{"policy", "as", {"talk a.b\nown c.d"}}},
         "policy: a value must not hold"},
        {"newline in a metadata value",
         {{"metadata", "a{ss}", {"k", "v\nlisten unix:path=/x"}}},
         "metadata: a value must not hold"},
        {"newline in a metadata key", {{"metadata", "a{ss}", {"k\n", "v"}}}, "metadata"},
        {"newline in a key", {{"name\nspace", "s", {"a"}}}, "settings: a value must not hold"},
        {"'=' in a metadata key", {{"metadata", "a{ss}", {"a=b", "c"}}}, "the key 'a=b'"},
        {"empty metadata key", {{"metadata", "a{ss}", {"", "c"}}}, "the key ''"},
        {"another setting among the rules",
         {{"policy", "as", {"listen tcp:host=0.0.0.0,port=1"}}},
         "is not a rule"},
        {"filter among the rules", {{"policy", "as", {"filter"}}}, "is not a rule"},
        {"a rule kind alone", {{"policy", "as", {"talk"}}}, "is not a rule"},
        {"a kind as a prefix", {{"policy", "as", {"talking a.b"}}}, "is not a rule"},
        {"'#' would end the line", {{"panel-prefix", "s", {"/a#b"}}}, "must not hold '#'"},
        {"'#' in a rule", {{"policy", "as", {"talk a.b #c"}}}, "must not hold '#'"},
    };
    for (const Case &c : cases) {
        const Result result = convert(c.entries);
        EXPECT_FALSE(result.ok) << c.what << " gave:\n" << result.lines;
        EXPECT_NE(result.error.find(c.error_part), std::string::npos)
            << c.what << ": " << result.error;
    }
}

TEST(ManageSettings, OnlyADictionaryOfVariants)
{
    MessagePtr message(dbus_message_new_method_call("a.b", "/", "a.b", "AddContainer"));
    const char *text = "listen";
    dbus_message_append_args(message.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    DBusMessageIter iter;
    dbus_message_iter_init(message.get(), &iter);
    std::string lines, error;
    EXPECT_FALSE(settings_to_lines(&iter, &lines, &error));
    EXPECT_NE(error.find("a{sv}"), std::string::npos) << error;
}

} // namespace
