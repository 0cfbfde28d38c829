// Adapting the tray panel's GetAll replies so icon paths resolve on the host.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Records `call` (a GetAll that arrived on pair->server) when it comes from
// the host's tray panel.
void track_panel_call(ConnectionPair *pair, DBusMessage *call);

// 1: a substitute reply went to the bus, do not forward `reply`;
// 0: forward `reply` unchanged.
int adapt_panel_reply(ConnectionPair *pair, DBusMessage *reply);

// The client answered a call with an error: its record, if any, is done.
void panel_call_failed(ConnectionPair *pair, DBusMessage *error);

// The pair is going: calls its client will never answer are forgotten.
void forget_panel_calls(const ConnectionPair *pair);
