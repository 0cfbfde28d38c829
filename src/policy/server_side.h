// What the client may receive: the policy's half of the bus-side filter.
#pragma once

#include "policy/client_side.h"
#include "session/pair.h"

#include <dbus/dbus.h>

// From the bus, before forwarding. HANDLED: dropped, or a substitute was
// sent to the client in its place; the caller stops.
PolicyVerdict policy_server_message(ConnectionPair *pair, DBusMessage *message);
