// A client's arrival and departure: wiring a new connection to its filters,
// opening its bus connection once it speaks, and the one path that frees a
// pair.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// The listening server's new-connection function; `data` is the ProxyConfig.
void on_new_connection(DBusServer *server, DBusConnection *connection, void *data);

// The client spoke for the first time: it is authenticated, so its bus
// connection opens now. On failure the client is closed.
void pair_client_spoke(ConnectionPair *pair);

// The bus answered the Hello of the pair's bus connection (`reply`): the
// pair is ready and the client's held messages go on, or it is closed.
void pair_bus_hello_answered(ConnectionPair *pair, DBusMessage *reply);

// Closes and releases both connections, drops whatever the pair and the
// other folders still hold for it, and frees it. The client connection's
// Disconnected calls it, whatever the pair's state.
void pair_free(ConnectionPair *pair);

dbus_bool_t allow_any_unix_user(DBusConnection *connection, unsigned long uid, void *data);
