#include "log/log.h"
#include "relay/relay.h"
#include "relay/undeliverable.h"

#include <dbus/dbus.h>

long relay_max_queued_bytes = 127L * 1024 * 1024;

bool relay_forward(ConnectionPair *pair, DBusConnection *target, DBusMessage *message)
{
    // Every message here was read off the wire and validated by libdbus, so
    // it serialises; only memory can fail, and then the send drops it as a
    // trial serialisation would. Copying each body to prove it cost a fifth
    // of the relay's time on large messages.
    if (dbus_connection_send(target, message, nullptr))
        return true;
    // Memory, or descriptors the target cannot pass: never silent.
    relay_undeliverable(pair, target, message);
    return false;
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
