#include "log/log.h"
#include "panel/properties.h"

#include "log_capture.h"
#include "property_dict.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using harness::DictWriter;
using harness::dump_properties;

namespace {

DBusMessage *reply_message()
{
    DBusMessage *m = dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN);
    dbus_message_set_reply_serial(m, 5);
    return m;
}

// Rebuilds `source` into a fresh message; `log` gets what was logged.
std::vector<std::string> rebuild(DBusMessage *source, int *result, std::string *log = nullptr)
{
    DBusMessage *target = reply_message();
    IconPlan plan;
    captured_log([&] { plan_icon_entries(source, &plan); });
    std::string printed =
        captured_log([&] { *result = rebuild_properties_reply(source, target, plan); });
    if (log)
        *log = printed;
    std::vector<std::string> out =
        *result ? dump_properties(target) : std::vector<std::string>{};
    dbus_message_unref(target);
    return out;
}

std::string icon_after_rebuild(const std::string &icon)
{
    DBusMessage *source = reply_message();
    DictWriter(source).str("IconName", icon.c_str()).close();
    int result = 0;
    std::vector<std::string> out = rebuild(source, &result);
    dbus_message_unref(source);
    EXPECT_EQ(result, 1);
    return out.size() == 1 ? out[0].substr(std::strlen("IconName=s:")) : "";
}

std::string marshalled(DBusMessage *message)
{
    char *data = nullptr;
    int length = 0;
    EXPECT_TRUE(dbus_message_marshal(message, &data, &length));
    std::string bytes(data, static_cast<size_t>(length));
    dbus_free(data);
    return bytes;
}

} // namespace

TEST(PanelProperties, RebuildKeepsEveryEntryInOrderAndPrefixesIconName)
{
    DBusMessage *source = reply_message();
    DictWriter(source)
        .str("Category", "ApplicationStatus")
        .path("Menu", "/MenuBar")
        .i32("WindowId", -42)
        .u32("Version", 4000000000u)
        .boolean("ItemIsMenu", true)
        .str("IconName", "/usr/share/icons/app.png")
        .dbl("Ratio", 0.1)
        .boolean("Hidden", false)
        .str("Title", "h\xc3\xa9llo")
        .close();
    const char *extra = "ignored";
    dbus_message_append_args(source, DBUS_TYPE_STRING, &extra, DBUS_TYPE_INVALID);

    int result = 0;
    std::string log;
    std::vector<std::string> out = rebuild(source, &result, &log);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, (std::vector<std::string>{
                       "Category=s:ApplicationStatus", "Menu=o:/MenuBar", "WindowId=i:-42",
                       "Version=u:4000000000", "ItemIsMenu=b:true",
                       "IconName=s:/opt/tolm/usr/share/icons/app.png", "Ratio=d:0.10000000000000001",
                       "Hidden=b:false", "Title=s:h\xc3\xa9llo"}));
    EXPECT_EQ(log, "TRACE [modifying IconThemePath]\n");
    dbus_message_unref(source);
}


TEST(PanelProperties, RealItemRepliesKeepEveryValueByteForByte)
{
    struct Case {
        harness::TrayIcons from, to; // to.name null: no substitute
    } cases[] = {
        // Icon names by path: prefixed, each on its own; empty texts stay.
        {{"/usr/share/icons/app.png", "/opt/app/attention.png", "", ""},
         {"/opt/tolm/usr/share/icons/app.png", "/opt/tolm/opt/app/attention.png", "", ""}},
        {{"app", "icons/attention.png", "/usr/share/icons/overlay.png", "/run/user/1000/icons"},
         {"app", "/opt/tolmicons/attention.png", "/opt/tolm/usr/share/icons/overlay.png",
          "/run/user/1000/icons"}},
        // A theme name looked up in the container's own theme directory.
        {{"app", "app-attention", "", "/usr/share/app/icons"},
         {"app", "app-attention", "", "/opt/tolm/usr/share/app/icons"}},
        // Nothing to adapt: theme names, a relative theme path, /run/.
        {{"app", "app-attention", "", "icons"}, {nullptr, nullptr, nullptr, nullptr}},
        {{"/run/user/1000/app.png", "", "/run/o.png", ""}, {nullptr, nullptr, nullptr, nullptr}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.from.name) + " " + c.from.attention + " " + c.from.overlay +
                     " " + c.from.theme_path);
        DBusMessage *source = reply_message();
        harness::write_tray_item(source, c.from);
        IconPlan plan;
        EXPECT_EQ(plan_icon_entries(source, &plan), c.to.name ? 1 : 0);
        if (!c.to.name) {
            dbus_message_unref(source);
            continue;
        }
        DBusMessage *target = reply_message();
        std::string log = captured_log(
            [&] { EXPECT_EQ(rebuild_properties_reply(source, target, plan), 1); });
        EXPECT_EQ(log.find("FATAL"), std::string::npos) << log;
        // Built directly with the adapted texts: every other value must
        // come out with the same signature and the same bytes.
        DBusMessage *expected = reply_message();
        harness::write_tray_item(expected, c.to);
        EXPECT_EQ(dump_properties(target), dump_properties(expected));
        EXPECT_EQ(marshalled(target), marshalled(expected));
        for (DBusMessage *m : {source, target, expected})
            dbus_message_unref(m);
    }
}

TEST(PanelProperties, OnlyDescriptorsAndNonStringIconNamesFailTheRebuild)
{
    struct Case {
        const char *name;
        void (*fill)(DictWriter &);
        std::string line;
    } cases[] = {
        {"descriptor",
         [](DictWriter &w) {
             w.value("Fd", "h", [](DBusMessageIter *v) {
                 int fd = 0;
                 dbus_message_iter_append_basic(v, DBUS_TYPE_UNIX_FD, &fd);
             });
         },
         "FATAL [Modify for panel] - Unsupported type: h for key Fd\n"},
        {"descriptor inside a structure",
         [](DictWriter &w) {
             w.value("Pair", "(sh)", [](DBusMessageIter *v) {
                 DBusMessageIter st;
                 const char *s = "x";
                 int fd = 0;
                 dbus_message_iter_open_container(v, DBUS_TYPE_STRUCT, nullptr, &st);
                 dbus_message_iter_append_basic(&st, DBUS_TYPE_STRING, &s);
                 dbus_message_iter_append_basic(&st, DBUS_TYPE_UNIX_FD, &fd);
                 dbus_message_iter_close_container(v, &st);
             });
         },
         "FATAL [Modify for panel] - Unsupported type: h for key Pair\n"},
        {"IconName not a string", [](DictWriter &w) { w.u32("IconName", 3); },
         "TRACE [modifying IconThemePath]\nTRACE [Modify for panel] IconName is NULL!!!!!!\n"},
        {"AttentionIconName not a string",
         [](DictWriter &w) { w.str("AttentionIconName", "/b.png").u32("AttentionIconName", 3); },
         "TRACE [modifying AttentionIconName]\n"
         "TRACE [modifying AttentionIconName]\n"
         "TRACE [Modify for panel] AttentionIconName is NULL!!!!!!\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DBusMessage *source = reply_message();
        DictWriter w(source);
        w.str("IconName", "/a.png").strings("Names", {"a", "b"});
        c.fill(w);
        w.str("After", "x");
        w.close();
        int result = 1;
        std::string log;
        rebuild(source, &result, &log);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(log, "TRACE [modifying IconThemePath]\n" + c.line);
        dbus_message_unref(source);
    }
}

TEST(PanelProperties, BodiesOtherThanAPropertyDictionaryAreNeverWalked)
{
    DBusMessage *empty = reply_message();
    DBusMessage *text = reply_message();
    const char *s = "/usr/share/icons/app.png";
    dbus_message_append_args(text, DBUS_TYPE_STRING, &s, DBUS_TYPE_INVALID);
    DBusMessage *list = reply_message();
    const char *items[] = {"IconName", "/x.png"};
    const char **p = items;
    dbus_message_append_args(list, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &p, 2, DBUS_TYPE_INVALID);
    DBusMessage *string_dict = reply_message();
    {
        DBusMessageIter args, array, entry;
        dbus_message_iter_init_append(string_dict, &args);
        dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{ss}", &array);
        dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &items[0]);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &items[1]);
        dbus_message_iter_close_container(&array, &entry);
        dbus_message_iter_close_container(&args, &array);
    }

    for (DBusMessage *m : {empty, text, list, string_dict}) {
        SCOPED_TRACE(dbus_message_get_signature(m));
        const bool is_array = dbus_message_get_signature(m)[0] == 'a';
        std::string log = captured_log([&] { EXPECT_EQ(find_icon_name_path(m), nullptr); });
        EXPECT_EQ(log,
                  is_array ? "" : "TRACE [Modify for panel]Reply is not an array\n");

        int result = 1;
        rebuild(m, &result, &log);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(log,
                  is_array ? "" : "TRACE [Modify for panel] - Source is not an array\n");
        dbus_message_unref(m);
    }
}

TEST(PanelProperties, FindIconNamePathTakesTheFirstStringIconName)
{
    struct Case {
        std::vector<const char *> icons; // null: an IconName holding a uint32
        const char *found;
    } cases[] = {
        {{"/usr/share/icons/app.png"}, "/usr/share/icons/app.png"},
        {{"icons/app.png"}, "icons/app.png"},
        {{"app-theme-name"}, nullptr},
        {{}, nullptr},
        {{nullptr, "/second.png"}, "/second.png"},
        {{"theme", "/second.png"}, nullptr},
    };
    for (const Case &c : cases) {
        DBusMessage *m = reply_message();
        DictWriter w(m);
        w.str("Title", "t");
        for (const char *icon : c.icons)
            icon ? w.str("IconName", icon) : w.u32("IconName", 1);
        w.close();
        const char *found = find_icon_name_path(m);
        EXPECT_STREQ(found, c.found) << harness::join(dump_properties(m));
        dbus_message_unref(m);
    }
}

TEST(PanelProperties, EveryIconNameIsPrefixed)
{
    DBusMessage *source = reply_message();
    DictWriter(source).str("IconName", "/a.png").str("X", "y").str("IconName", "theme").close();
    int result = 0;
    EXPECT_EQ(rebuild(source, &result),
              (std::vector<std::string>{"IconName=s:/opt/tolm/a.png", "X=s:y",
                                        "IconName=s:/opt/tolmtheme"}));
    dbus_message_unref(source);
}

TEST(PanelProperties, LongIconTextsAreCutAtAWholeCharacter)
{
    const std::string prefix = "/opt/tolm";
    // 502 bytes fit after the prefix; 503 do not.
    const std::string fits = "/" + std::string(501, 'a');
    EXPECT_EQ(icon_after_rebuild(fits), prefix + fits);
    const std::string ascii = "/" + std::string(600, 'b');
    EXPECT_EQ(icon_after_rebuild(ascii), prefix + ascii.substr(0, 502));

    // A two-byte character that ends exactly at the limit stays whole.
    const std::string e_acute = "\xc3\xa9";
    const std::string ends_at_limit = "/" + std::string(499, 'c') + e_acute + "tail";
    EXPECT_EQ(icon_after_rebuild(ends_at_limit), prefix + "/" + std::string(499, 'c') + e_acute);

    // Characters of two, three and four bytes that straddle the limit are
    // dropped whole; cutting inside them would make libdbus abort.
    for (const std::string &ch : {e_acute, std::string("\xe2\x82\xac"),
                                 std::string("\xf0\x9f\x98\x80")}) {
        const std::string head = "/" + std::string(500, 'd');
        std::string result = icon_after_rebuild(head + ch + "tail");
        EXPECT_EQ(result, prefix + head) << ch;
        EXPECT_TRUE(dbus_validate_utf8(result.c_str(), nullptr));
    }
    std::string euros = "//";
    for (int i = 0; i < 200; ++i)
        euros += "\xe2\x82\xac";
    std::string wide = icon_after_rebuild(euros);
    EXPECT_EQ(wide, prefix + euros.substr(0, 2 + 166 * 3));
    EXPECT_TRUE(dbus_validate_utf8(wide.c_str(), nullptr));
}
