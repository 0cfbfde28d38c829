// Writes the client-dispatch seed corpus: one marshalled message a file.
// g++ make_seeds.cpp $(pkg-config --cflags --libs dbus-1) && ./a.out corpus/client_dispatch
#include <dbus/dbus.h>

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

int main(int argc, char **argv)
{
    const std::string dir = argc > 1 ? argv[1] : ".";
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
