// Adapting the tray panel's GetAll replies so icon paths resolve on the host.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Records the call when it comes from the host's tray panel.
void track_panel_call(DBusConnection *connection, DBusMessage *call);

// 1: a substitute reply went to the bus, do not forward `reply`;
// 0: forward `reply` unchanged.
int adapt_panel_reply(ConnectionPair *pair, DBusMessage *reply);
