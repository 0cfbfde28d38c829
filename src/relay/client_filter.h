// Messages from the client: the filter on its connection.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Filter on the client connection; `data` is the ConnectionPair.
DBusHandlerResult client_message_filter(DBusConnection *connection, DBusMessage *message,
                                        void *data);

// Answers the client's Hello with the private connection's unique name.
int reply_to_hello(ConnectionPair *pair, DBusMessage *hello);

// The bus connection is ready: the client's waiting messages go on, in
// order, until one waits for the policy (its resume then goes on from there).
void relay_release_held_from_client(ConnectionPair *pair);
