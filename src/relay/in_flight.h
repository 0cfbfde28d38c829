// Method calls relayed and not answered yet, so that an orderly stop can
// wait for their answers as it waits for queued messages.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Notes `message`, just sent on `target` (the pair's client or bus
// connection), when it is a call that expects a reply.
void in_flight_call_sent(ConnectionPair *pair, DBusConnection *target, DBusMessage *message);

// Notes that `message`, a reply or error on its way to `target`, answers
// a call noted before.
void in_flight_reply_seen(ConnectionPair *pair, DBusConnection *target, DBusMessage *message);

// Calls of the pair still waiting for their answer, both directions.
unsigned in_flight_calls(const ConnectionPair *pair);

void in_flight_forget(ConnectionPair *pair);
