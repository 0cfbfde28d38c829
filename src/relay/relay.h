// The two message filters of a connection pair and the forward step.
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

// The bus connection is ready: the client's waiting messages go on, in order.
void relay_release_held_from_client(ConnectionPair *pair);
// The process-id query the held bus messages waited for is answered: they
// go on to the client, in order, until one waits for a query again.
void relay_release_held_from_bus(ConnectionPair *pair);

// Sends `message` unchanged (same serial, same header fields) on `target`,
// the pair's client or bus connection. A side whose queue is past its bound
// is not reading: the client is disconnected (with a WARN line) instead, so
// that one stuck peer cannot make the daemon grow.
void relay_forward(ConnectionPair *pair, DBusConnection *target, DBusMessage *message);

// Drops the pair's share of its queue counters.
void relay_forget_queues(ConnectionPair *pair);

// Bounds of one direction's outgoing queue: bytes beyond its largest
// message, messages (each costs libdbus far more than its bytes), and
// descriptors. Reading from the other side stops at twice these.
extern long relay_max_queued_bytes;
extern long relay_max_queued_messages;
extern int relay_max_queued_fds;
