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

// Sends `message` unchanged (same serial, same header fields) on `target`,
// one of the pair's connections. When it cannot be sent, whoever waits for
// a reply is answered with an error instead (see undeliverable.h); returns
// whether it was sent.
bool relay_forward(ConnectionPair *pair, DBusConnection *target, DBusMessage *message);

// Bytes that may wait in one connection's outgoing queue before the pair is
// ended: a peer that stops reading must not make the daemon grow without
// bound. The host bus's default outgoing limit per connection.
extern long relay_max_queued_bytes;

// True when `target` can take another message. When its queue is over the
// limit, logs `warning` (with the queued bytes), closes the pair's client
// connection so that the pair ends, and returns false.
bool relay_queue_has_room(ConnectionPair *pair, DBusConnection *target, const char *warning);
