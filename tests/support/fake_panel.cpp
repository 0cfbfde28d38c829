// A stand-in for the host's tray panel: calls GetAll on an item COUNT times
// and prints one line per answer: the reply's properties, or the error name.
// The tests start it under the panel's path as argv[0]. With "send-only" it
// prints its unique name, sends the calls and exits without their answers.
//
// With "member=NAME" it calls NAME on the properties interface instead.
//
// Usage: fake_panel BUS_ADDRESS ITEM_NAME COUNT [send-only | member=NAME]
#include "property_dict.h"

#include <dbus/dbus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    const bool send_only = argc == 5 && std::strcmp(argv[4], "send-only") == 0;
    const bool member_given = argc == 5 && std::strncmp(argv[4], "member=", 7) == 0;
    const char *member = member_given ? argv[4] + 7 : "GetAll";
    if (argc != 4 && !send_only && !member_given) {
        std::fprintf(stderr, "usage: %s BUS_ADDRESS ITEM_NAME COUNT [send-only | member=NAME]\n",
                     argv[0]);
        return 2;
    }
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *bus = dbus_connection_open_private(argv[1], &error);
    if (!bus || !dbus_bus_register(bus, &error)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.message);
        return 1;
    }
    const long count = std::strtol(argv[3], nullptr, 10);
    if (send_only) {
        std::printf("%s\n", dbus_bus_get_unique_name(bus));
        std::fflush(stdout);
    }
    const char *item_interface = "org.example.Item";
    for (long i = 0; i < count; ++i) {
        DBusMessage *call = dbus_message_new_method_call(argv[2], "/org/example/Item",
                                                         DBUS_INTERFACE_PROPERTIES, member);
        dbus_message_append_args(call, DBUS_TYPE_STRING, &item_interface, DBUS_TYPE_INVALID);
        if (send_only) {
            dbus_connection_send(bus, call, nullptr);
            dbus_message_unref(call);
            continue;
        }
        DBusMessage *reply = dbus_connection_send_with_reply_and_block(bus, call, 10000, &error);
        dbus_message_unref(call);
        if (reply) {
            std::printf("%s\n", harness::join(harness::dump_properties(reply)).c_str());
            dbus_message_unref(reply);
        } else {
            std::printf("error %s\n", error.name);
            dbus_error_free(&error);
        }
    }
    dbus_connection_flush(bus);
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return 0;
}
