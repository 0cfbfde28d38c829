// Writes the client-dispatch seed corpus, and the panel-reply one when a
// second directory is given: one marshalled message a file.
// g++ -I../tests/support make_seeds.cpp $(pkg-config --cflags --libs dbus-1) &&
//   ./a.out corpus/client_dispatch corpus/panel_reply
#include "property_dict.h"

#include <dbus/dbus.h>

#include <cstdint>
#include <cstdio>
#include <string>

static void save(const std::string &dir, const char *name, DBusMessage *m)
{
    dbus_message_set_serial(m, 7);
    char *bytes = nullptr;
    int len = 0;
    dbus_message_marshal(m, &bytes, &len);
    FILE *f = std::fopen((dir + "/" + name).c_str(), "wb");
    std::fwrite(bytes, 1, static_cast<size_t>(len), f);
    std::fclose(f);
    dbus_free(bytes);
    dbus_message_unref(m);
}

// A GetAll answer to the panel: an a{sv} dictionary filled by `fill`.
template <typename Fill> static DBusMessage *panel_reply(Fill fill)
{
    DBusMessage *m = dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN);
    dbus_message_set_reply_serial(m, 5);
    dbus_message_set_destination(m, ":1.7");
    DBusMessageIter it, arr;
    dbus_message_iter_init_append(m, &it);
    dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{sv}", &arr);
    fill(&arr);
    dbus_message_iter_close_container(&it, &arr);
    return m;
}

static void entry(DBusMessageIter *arr, const char *key, int type, const void *value)
{
    const char signature[] = {static_cast<char>(type), '\0'};
    DBusMessageIter e, v;
    dbus_message_iter_open_container(arr, DBUS_TYPE_DICT_ENTRY, nullptr, &e);
    dbus_message_iter_append_basic(&e, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&e, DBUS_TYPE_VARIANT, signature, &v);
    dbus_message_iter_append_basic(&v, type, value);
    dbus_message_iter_close_container(&e, &v);
    dbus_message_iter_close_container(arr, &e);
}

static void item_properties(DBusMessageIter *arr, const char *icon)
{
    const char *category = "ApplicationStatus", *menu = "/MenuBar";
    const dbus_bool_t is_menu = TRUE;
    const dbus_int32_t window = -3;
    const dbus_uint32_t version = 2;
    const double ratio = 0.5;
    entry(arr, "Category", DBUS_TYPE_STRING, &category);
    entry(arr, "IconName", DBUS_TYPE_STRING, &icon);
    entry(arr, "Menu", DBUS_TYPE_OBJECT_PATH, &menu);
    entry(arr, "ItemIsMenu", DBUS_TYPE_BOOLEAN, &is_menu);
    entry(arr, "WindowId", DBUS_TYPE_INT32, &window);
    entry(arr, "Version", DBUS_TYPE_UINT32, &version);
    entry(arr, "Ratio", DBUS_TYPE_DOUBLE, &ratio);
}

static void panel_reply_seeds(const std::string &dir)
{
    save(dir, "icon-path", panel_reply([](DBusMessageIter *a) {
             item_properties(a, "/usr/share/icons/app.png");
         }));
    save(dir, "icon-theme-name",
         panel_reply([](DBusMessageIter *a) { item_properties(a, "app-theme-icon"); }));
    save(dir, "icon-run", panel_reply([](DBusMessageIter *a) {
             item_properties(a, "/run/user/1000/app.png");
         }));
    // Longer than the rewritten text may be, cut inside a two-byte character.
    static std::string long_icon = "/icons";
    for (int i = 0; i < 300; ++i)
        long_icon += "\xc3\xa9";
    save(dir, "icon-long-multibyte",
         panel_reply([](DBusMessageIter *a) { item_properties(a, long_icon.c_str()); }));
    save(dir, "unsupported-variant", panel_reply([](DBusMessageIter *a) {
             const char *icon = "/a.png";
             const int64_t big = 1;
             entry(a, "IconName", DBUS_TYPE_STRING, &icon);
             entry(a, "Stamp", DBUS_TYPE_INT64, &big);
         }));
    save(dir, "icon-not-a-string", panel_reply([](DBusMessageIter *a) {
             const char *icon = "/usr/share/icons/app";
             entry(a, "IconName", DBUS_TYPE_OBJECT_PATH, &icon);
             entry(a, "Title", DBUS_TYPE_STRING, &icon);
         }));

    // Shaped like a real item's: pixmaps, tooltip, nested variants.
    DBusMessage *m = dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN);
    dbus_message_set_reply_serial(m, 5);
    dbus_message_set_destination(m, ":1.7");
    harness::write_tray_item(m, {"app", "/opt/app/attention.png", "", "/usr/share/app/icons"}, 2);
    save(dir, "tray-item", m);

    m = dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN);
    dbus_message_set_reply_serial(m, 5);
    dbus_message_set_destination(m, ":1.7");
    const char *names[] = {"IconName", "/a.png"};
    const char **list = names;
    dbus_message_append_args(m, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &list, 2, DBUS_TYPE_INVALID);
    save(dir, "not-a-dict", m);

    m = dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN);
    dbus_message_set_reply_serial(m, 5);
    dbus_message_set_destination(m, ":1.7");
    save(dir, "empty-body", m);
}

int main(int argc, char **argv)
{
    const std::string dir = argc > 1 ? argv[1] : ".";
    if (argc > 2)
        panel_reply_seeds(argv[2]);
    const char *text = "/usr/share/icons/app.png";
    const char *key = "IconName";

    save(dir, "hello", dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus", "Hello"));
    DBusMessage *m = dbus_message_new_method_call("org.example.Player", "/org/example/Player",
                                                  "org.example.Player", "Play");
    dbus_uint32_t n = 3;
    dbus_message_append_args(m, DBUS_TYPE_STRING, &text, DBUS_TYPE_UINT32, &n, DBUS_TYPE_INVALID);
    save(dir, "call", m);
    save(dir, "call-unique", dbus_message_new_method_call(":1.42", "/", "org.example.X", "Y"));
    save(dir, "request-name", dbus_message_new_method_call("org.freedesktop.DBus",
                                                           "/org/freedesktop/DBus",
                                                           "org.freedesktop.DBus", "RequestName"));

    m = dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN);
    dbus_message_set_reply_serial(m, 5);
    dbus_message_set_destination(m, ":1.7");
    DBusMessageIter it, arr, entry, var;
    dbus_message_iter_init_append(m, &it);
    dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{sv}", &arr);
    dbus_message_iter_open_container(&arr, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "s", &var);
    dbus_message_iter_append_basic(&var, DBUS_TYPE_STRING, &text);
    dbus_message_iter_close_container(&entry, &var);
    dbus_message_iter_close_container(&arr, &entry);
    dbus_message_iter_close_container(&it, &arr);
    save(dir, "properties-reply", m);

    m = dbus_message_new(DBUS_MESSAGE_TYPE_ERROR);
    dbus_message_set_error_name(m, "org.example.Error");
    dbus_message_set_reply_serial(m, 5);
    save(dir, "error", m);
    save(dir, "signal", dbus_message_new_signal("/org/example", "org.example.Sig", "Changed"));
    return 0;
}
