// Messages from the host bus: the filter on the pair's bus connection.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Filter on the private bus connection; `data` is the ConnectionPair.
DBusHandlerResult server_message_filter(DBusConnection *connection, DBusMessage *message,
                                        void *data);

// The process-id query the held bus messages waited for is answered: they
// go on to the client, in order, until one waits for a query again.
void relay_release_held_from_bus(ConnectionPair *pair);
