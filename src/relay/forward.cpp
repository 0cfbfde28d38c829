#include "log/log.h"
#include "relay/relay.h"

#include <dbus/dbus.h>

long relay_max_queued_bytes = 127L * 1024 * 1024;

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

bool relay_queue_has_room(ConnectionPair *pair, DBusConnection *target, const char *warning)
{
    const long queued = dbus_connection_get_outgoing_size(target);
    if (queued <= relay_max_queued_bytes)
        return true;
    // Once closed, the rest of its traffic is dropped quietly until the
    // client's Disconnected releases the pair.
    if (dbus_connection_get_is_connected(pair->client)) {
        LOG_WARN(warning, queued);
        dbus_connection_close(pair->client);
    }
    return false;
}
