#include "relay/relay.h"

#include <dbus/dbus.h>

void relay_forward(DBusConnection *target, DBusMessage *message)
{
    char *wire = nullptr;
    int wire_len = 0;
    // A message that cannot be serialised would not survive the send either.
    if (!dbus_message_marshal(message, &wire, &wire_len))
        return;
    dbus_connection_send(target, message, nullptr);
    dbus_free(wire);
}
