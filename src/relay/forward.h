// Sending a message on to the other side, within the queue bounds.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Sends `message` unchanged (same serial, same header fields) on `target`,
// the pair's client or bus connection. A side whose queue is past its bound
// (overrides.relay_max_queued_*) is not reading: the client is disconnected
// (with a WARN line) instead, so that one stuck peer cannot make the daemon
// grow.
void relay_forward_or_disconnect(ConnectionPair *pair, DBusConnection *target,
                                 DBusMessage *message);

// Drops the pair's share of its queue counters.
void relay_forget_queues(ConnectionPair *pair);
