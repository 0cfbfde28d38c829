// Redirecting method calls to a service's namespaced name.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// 0: forward the call (destination unchanged or namespaced);
// -1: the call was refused and answered with an error on pair->client.
int rewrite_destination(ConnectionPair *pair, DBusMessage *message);
