// What the client may receive: the policy's half of the bus-side filter.
#pragma once

#include "policy/client_side.h"
#include "session/pair.h"

#include <dbus/dbus.h>

// From the bus, before forwarding. `shown` is the message as it will reach
// the client (a NameOwnerChanged may show a namespaced name under its plain
// one): the client's rights are judged on that; what it says teaches the
// owner tracker nothing. HANDLED: dropped, or a substitute was sent to the
// client in its place; the caller stops. WAIT: as for the client's messages
// (client_side.h), for the pair's messages from the bus.
PolicyVerdict policy_server_message(ConnectionPair *pair, DBusMessage *message,
                                    DBusMessage *shown, void (*resume)(ConnectionPair *));
