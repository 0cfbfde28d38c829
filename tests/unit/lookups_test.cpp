// Namespaced names shown under their plain names: match rules, bus calls
// and NameOwnerChanged, on real messages with the list in a temp dir.
#include "log/log.h"
#include "main/command_line.h"
#include "namespace/activation_list.h"
#include "namespace/lookups.h"
#include "namespace/match_rule.h"
#include "util/overrides.h"

#include "harness.h"
#include "list_dir_fixture.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

char *player_translator(const char *value, void *)
{
    return std::strcmp(value, "org.example.Player") == 0 ? strdup("org.example.Player.docker")
                                                         : nullptr;
}

// Records each value offered, as the bus would read it.
char *recording_translator(const char *value, void *data)
{
    static_cast<std::vector<std::string> *>(data)->push_back(value);
    return nullptr;
}

std::string translated(const char *rule, MatchValueTranslator translate = player_translator,
                       void *data = nullptr)
{
    char *out = translate_match_rule(rule, translate, data);
    std::string text = out ? out : "(unchanged)";
    std::free(out);
    return text;
}

} // namespace

TEST(MatchRule, OnlyTheSenderValueChangesAndEveryOtherByteStays)
{
    EXPECT_EQ(translated("type='signal', sender='org.example.Player',path='/org/example/Player',"
                         "interface='org.example.Player'"),
              "type='signal', sender='org.example.Player.docker',path='/org/example/Player',"
              "interface='org.example.Player'");
    // Unquoted values and quotes escaped outside quotes stay as written.
    EXPECT_EQ(translated("sender=org.example.Player,arg1=it\\'s,arg2='a\\b'"),
              "sender='org.example.Player.docker',arg1=it\\'s,arg2='a\\b'");
    EXPECT_EQ(translated("type='signal',sender='org.example.Other'"), "(unchanged)");
    EXPECT_EQ(translated(""), "(unchanged)");
}

TEST(MatchRule, ValuesAreReadWithTheBusQuotingRules)
{
    std::vector<std::string> seen;
    for (const char *rule : {"sender='org.a\\b'", "sender=org.x\\'y", "sender='org.it'\\''s'",
                             "member=NameOwnerChanged,arg00=org.q\\z", "sender=org.a,arg0=x",
                             "member=NameOwnerChanged,arg0=''"})
        translated(rule, recording_translator, &seen);
    // The names the bus would refuse are never offered.
    EXPECT_EQ(seen, (std::vector<std::string>{"org.q\\z", "org.a", ""}));

    // A replacement with a quote is written so that it reads back the same.
    auto quoting = [](const char *, void *) -> char * { return strdup("it's"); };
    const std::string rule = translated("member=NameOwnerChanged,arg0='x'", quoting);
    EXPECT_EQ(rule, "member=NameOwnerChanged,arg0='it'\\''s'");
    seen.clear();
    translated(rule.c_str(), recording_translator, &seen);
    EXPECT_EQ(seen, std::vector<std::string>{"it's"});
}

TEST(MatchRule, Arg0IsTranslatedOnlyInRulesAboutTheBus)
{
    EXPECT_EQ(translated("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop."
                         "DBus',member='NameOwnerChanged',path='/org/freedesktop/DBus',"
                         "arg0='org.example.Player'"),
              "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
              "member='NameOwnerChanged',path='/org/freedesktop/DBus',"
              "arg0='org.example.Player.docker'");
    EXPECT_EQ(translated("member='NameOwnerChanged',arg0=org.example.Player"),
              "member='NameOwnerChanged',arg0='org.example.Player.docker'");
    EXPECT_EQ(translated("interface='org.example.Player',arg0='org.example.Player'"),
              "(unchanged)");
    // Any one key that names the bus is enough.
    EXPECT_EQ(translated("interface='org.freedesktop.DBus',arg0='org.example.Player'"),
              "interface='org.freedesktop.DBus',arg0='org.example.Player.docker'");
    EXPECT_EQ(translated("sender='org.freedesktop.DBus',arg0='org.example.Player'"),
              "sender='org.freedesktop.DBus',arg0='org.example.Player.docker'");
    // Only argument 0 itself, however its key is spelt.
    EXPECT_EQ(translated("sender='org.freedesktop.DBus',arg0path='org.example.Player',"
                         "arg1='org.example.Player'"),
              "(unchanged)");
    EXPECT_EQ(translated("sender='org.freedesktop.DBus',arg0namespace='org.example.Player'"),
              "(unchanged)");
    EXPECT_EQ(translated("sender='org.freedesktop.DBus',arg00='org.example.Player'"),
              "sender='org.freedesktop.DBus',arg00='org.example.Player.docker'");
}

TEST(MatchRule, UnparsableRulesAreLeftToTheBus)
{
    for (const char *rule : {"sender='org.example.Player", "sender", "='org.example.Player'",
                             "type='signal',,sender='org.example.Player'",
                             "sender 'org.example.Player'"})
        EXPECT_EQ(translated(rule), "(unchanged)") << rule;
}

namespace {

DBusMessage *bus_call(const char *member, const char *name)
{
    DBusMessage *call = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                     DBUS_INTERFACE_DBUS, member);
    dbus_message_append_args(call, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    dbus_message_set_serial(call, 42);
    return call;
}

DBusMessage *owner_changed(const char *name, const char *sender = DBUS_SERVICE_DBUS,
                           const char *member = "NameOwnerChanged")
{
    DBusMessage *signal = dbus_message_new_signal(DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, member);
    const char *old_owner = "", *new_owner = ":1.7";
    if (std::strcmp(member, "NameOwnerChanged") == 0)
        dbus_message_append_args(signal, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &old_owner,
                                 DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID);
    else
        dbus_message_append_args(signal, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    dbus_message_set_sender(signal, sender);
    dbus_message_set_destination(signal, ":1.3");
    dbus_message_set_serial(signal, 9);
    return signal;
}

std::string first_arg(DBusMessage *message)
{
    DBusMessageIter iter;
    const char *text = nullptr;
    if (!message || !dbus_message_iter_init(message, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_STRING)
        return "(none)";
    dbus_message_iter_get_basic(&iter, &text);
    return text;
}

class Lookups : public ListDirTest {
protected:
    ConnectionPair pair{};

    void SetUp() override
    {
        ListDirTest::SetUp();
        config.namespace_lookups = 1;
        pair.config = &config;
        harness::write_file(dir.file("dbus-sess-proxy.list"),
                            "org.example.Player=org.example.Player.docker\n"
                            "org.example.Player.docker=org.example.Player.docker.docker\n"
                            "org.example.Undocker=org.example.Undocker.docker\n"
                            "org.freedesktop.DBus=org.freedesktop.DBus.docker\n"
                            ":1.5=:1.5.docker\n");
    }
    void TearDown() override
    {
        lookups_free(&pair);
        ListDirTest::TearDown();
    }

    // The first argument the call leaves with ("(unchanged)" when forwarded as is).
    std::string sent(const char *member, const char *name)
    {
        DBusMessage *call = bus_call(member, name);
        DBusMessage *out = translate_bus_call(&pair, call);
        dbus_message_unref(call);
        std::string arg = out ? first_arg(out) : "(unchanged)";
        if (out)
            dbus_message_unref(out);
        return arg;
    }
    // The first argument the client is shown; "(unchanged)" or "(dropped)".
    std::string shown(DBusMessage *message)
    {
        DBusMessage *out = nullptr;
        const LookupsVerdict verdict = translate_from_bus(&pair, message, &out);
        dbus_message_unref(message);
        std::string arg = verdict == LOOKUPS_DROP ? "(dropped)"
                          : out                   ? first_arg(out)
                                                  : "(unchanged)";
        if (out)
            dbus_message_unref(out);
        return arg;
    }
};

} // namespace

TEST_F(Lookups, NameCallsLeaveForTheCandidateWithEverythingElseKept)
{
    DBusMessage *call = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                     DBUS_INTERFACE_DBUS, "StartServiceByName");
    const char *name = "org.example.Player";
    dbus_uint32_t flags = 0;
    dbus_message_append_args(call, DBUS_TYPE_STRING, &name, DBUS_TYPE_UINT32, &flags,
                             DBUS_TYPE_INVALID);
    dbus_message_set_serial(call, 42);
    dbus_message_set_no_reply(call, TRUE);
    dbus_message_set_auto_start(call, FALSE);

    std::string log;
    DBusMessage *out = nullptr;
    log = captured_log([&] { out = translate_bus_call(&pair, call); });
    dbus_message_unref(call);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(log, "TRACE [CLIENT]bus call StartServiceByName for namespaced service "
                   "org.example.Player.docker\n");
    EXPECT_EQ(dbus_message_get_serial(out), 42u);
    EXPECT_TRUE(dbus_message_get_no_reply(out));
    EXPECT_FALSE(dbus_message_get_auto_start(out));
    EXPECT_STREQ(dbus_message_get_destination(out), DBUS_SERVICE_DBUS);
    EXPECT_STREQ(dbus_message_get_path(out), DBUS_PATH_DBUS);
    EXPECT_STREQ(dbus_message_get_interface(out), DBUS_INTERFACE_DBUS);
    EXPECT_STREQ(dbus_message_get_signature(out), "su");
    EXPECT_EQ(first_arg(out), "org.example.Player.docker");
    dbus_message_unref(out);

    for (const char *member : {"GetNameOwner", "NameHasOwner", "GetConnectionUnixProcessID",
                               "GetConnectionUnixUser", "GetConnectionCredentials",
                               "ListQueuedOwners", "RequestName", "ReleaseName"})
        EXPECT_EQ(sent(member, "org.example.Player"), "org.example.Player.docker") << member;
    // Ends with the namespace's letters, but not after a dot: a plain name.
    EXPECT_EQ(sent("GetNameOwner", "org.example.Undocker"), "org.example.Undocker.docker");
}

TEST_F(Lookups, NamesThatAreNotTranslated)
{
    EXPECT_EQ(sent("RequestName", "org.example.Other"), "(unchanged)");
    EXPECT_EQ(sent("GetNameOwner", "org.example.Other"), "(unchanged)");
    EXPECT_EQ(sent("GetNameOwner", "org.example.Player.docker"), "(unchanged)");
    EXPECT_EQ(sent("GetNameOwner", DBUS_SERVICE_DBUS), "(unchanged)");
    EXPECT_EQ(sent("GetNameOwner", ":1.5"), "(unchanged)");

    // A candidate that is no valid bus name: the bus answers the original.
    harness::write_file(dir.file("dbus-sess-proxy.list"),
                        "org.example.Player=org.example.Player.1abc\n");
    config.namespace_name = "1abc";
    EXPECT_EQ(sent("GetNameOwner", "org.example.Player"), "(unchanged)");

    config.namespace_name = "docker";
    config.namespace_lookups = 0;
    harness::write_file(dir.file("dbus-sess-proxy.list"),
                        "org.example.Player=org.example.Player.docker\n");
    EXPECT_EQ(sent("GetNameOwner", "org.example.Player"), "(unchanged)");
    EXPECT_EQ(sent("AddMatch", "sender='org.example.Player'"), "(unchanged)");
}

TEST_F(Lookups, OwnerSignalsShowTheNamespacedInstanceInPlaceOfTheHosts)
{
    // A redirected name: its namespaced instance stands in for it, even for
    // a broad rule, and its host instance is out of sight.
    EXPECT_EQ(shown(owner_changed("org.example.Player.docker")), "org.example.Player");
    EXPECT_EQ(shown(owner_changed("org.example.Player")), "(dropped)");
    EXPECT_EQ(shown(owner_changed("org.example.Other.docker")), "(unchanged)");
    EXPECT_EQ(shown(owner_changed("org.example.Other")), "(unchanged)");
    EXPECT_EQ(shown(owner_changed(":1.5")), "(unchanged)");

    DBusMessage *signal = owner_changed("org.example.Player.docker");
    DBusMessage *out = nullptr;
    ASSERT_EQ(translate_from_bus(&pair, signal, &out), LOOKUPS_REPLACED);
    dbus_message_unref(signal);
    EXPECT_EQ(first_arg(out), "org.example.Player");
    EXPECT_EQ(dbus_message_get_serial(out), 9u);
    EXPECT_STREQ(dbus_message_get_sender(out), DBUS_SERVICE_DBUS);
    EXPECT_STREQ(dbus_message_get_destination(out), ":1.3");
    EXPECT_STREQ(dbus_message_get_path(out), DBUS_PATH_DBUS);
    EXPECT_STREQ(dbus_message_get_signature(out), "sss");
    dbus_message_unref(out);

    // The client's own names: under the plain name once it asked for it so.
    EXPECT_EQ(shown(owner_changed("org.example.Player.docker", DBUS_SERVICE_DBUS, "NameAcquired")),
              "(unchanged)");
    EXPECT_EQ(sent("RequestName", "org.example.Player"), "org.example.Player.docker");
    for (const char *member : {"NameAcquired", "NameLost"})
        EXPECT_EQ(shown(owner_changed("org.example.Player.docker", DBUS_SERVICE_DBUS, member)),
                  "org.example.Player")
            << member;
    // Only the bus's own signals.
    EXPECT_EQ(shown(owner_changed("org.example.Player.docker", ":1.9")), "(unchanged)");
    EXPECT_EQ(shown(owner_changed("org.example.Player", ":1.9")), "(unchanged)");

    // Lists: the namespaced instance under the plain name, the host's gone.
    DBusMessage *list = dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN);
    dbus_message_set_sender(list, DBUS_SERVICE_DBUS);
    dbus_message_set_reply_serial(list, 42);
    const char *names[] = {"org.freedesktop.DBus", "org.example.Player", ":1.5",
                           "org.example.Player.docker", "org.example.Other"};
    const char **array = names;
    dbus_message_append_args(list, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &array, 5,
                             DBUS_TYPE_INVALID);
    out = nullptr;
    ASSERT_EQ(translate_from_bus(&pair, list, &out), LOOKUPS_REPLACED);
    dbus_message_unref(list);
    char **got = nullptr;
    int n = 0;
    ASSERT_TRUE(dbus_message_get_args(out, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &got, &n,
                                      DBUS_TYPE_INVALID));
    EXPECT_EQ(std::vector<std::string>(got, got + n),
              (std::vector<std::string>{"org.freedesktop.DBus", ":1.5", "org.example.Player",
                                        "org.example.Other"}));
    EXPECT_EQ(dbus_message_get_reply_serial(out), 42u);
    dbus_free_string_array(got);
    dbus_message_unref(out);
}

TEST_F(Lookups, AskedNamesAreBounded)
{
    std::string list;
    for (unsigned i = 0; i < LOOKUPS_MAX_ASKED_NAMES + 10; ++i)
        list += "org.example.N" + std::to_string(i) + "=org.example.N" + std::to_string(i) +
                ".docker\n";
    harness::write_file(dir.file("dbus-sess-proxy.list"), list);
    for (unsigned i = 0; i < LOOKUPS_MAX_ASKED_NAMES + 10; ++i) {
        const std::string name = "org.example.N" + std::to_string(i);
        ASSERT_EQ(sent("GetNameOwner", name.c_str()), name + ".docker");
    }
    EXPECT_EQ(g_hash_table_size(pair.asked_names), LOOKUPS_MAX_ASKED_NAMES);
    EXPECT_EQ(shown(owner_changed("org.example.N0.docker")), "org.example.N0");
}
