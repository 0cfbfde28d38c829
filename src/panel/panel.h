// Adapting the tray panel's GetAll replies so icon paths resolve on the host.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Looks at `call`, a GetAll addressed to pair->client, and records it when
// it comes from the host's tray panel. 0: decided, relay the call now;
// 1: the bus is being asked who the caller is: hold the call (and whatever
// follows it for this client) until relay_release_held_from_bus runs.
int track_panel_call(ConnectionPair *pair, DBusMessage *call);

// 1: a substitute reply went to the bus, do not forward `reply`;
// 0: forward `reply` unchanged.
int adapt_panel_reply(ConnectionPair *pair, DBusMessage *reply);

// The client answered a call with an error: its record, if any, is done.
void panel_call_failed(ConnectionPair *pair, DBusMessage *error);

// The pair is going: calls its client will never answer are forgotten.
void forget_panel_calls(const ConnectionPair *pair);

// Forgets which callers were the panel (for tests and leak checks).
void panel_forget_callers();
