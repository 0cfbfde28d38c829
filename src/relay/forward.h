// Sending a message on to the other side, within the queue bounds.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Sends `message` unchanged (same serial, same header fields) on `target`,
// the pair's client or bus connection. A side whose queue is past its bound
// (overrides.relay_max_queued_*) is not reading: the client is disconnected
// (with a WARN line) instead, so that one stuck peer cannot make the daemon
// grow. Past overrides.daemon_max_queued_bytes for every client's queues
// together, the clients that hold the most are disconnected (with the same
// line) until the rest fits, so that many stuck peers cannot either.
void relay_forward_or_disconnect(ConnectionPair *pair, DBusConnection *target,
                                 DBusMessage *message);

// Drops the pair's share of its queue counters and of the daemon's bound.
void relay_forget_queues(ConnectionPair *pair);
