// The two message filters of a connection pair.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Filter on the client connection; `data` is the ConnectionPair.
DBusHandlerResult client_message_filter(DBusConnection *connection, DBusMessage *message,
                                        void *data);
// Filter on the private bus connection; `data` is the ConnectionPair.
DBusHandlerResult server_message_filter(DBusConnection *connection, DBusMessage *message,
                                        void *data);

// Answers the client's Hello with the private connection's unique name.
int reply_to_hello(ConnectionPair *pair, DBusMessage *hello);

// Sends `message` unchanged on `target` after checking that it serialises.
void relay_forward(DBusConnection *target, DBusMessage *message);
