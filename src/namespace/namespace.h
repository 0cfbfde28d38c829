// Redirecting method calls to a service's namespaced name.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>
#include <glib.h>

// 0: forward the call (destination unchanged or namespaced);
// -1: the call was refused and answered with an error on pair->client.
int rewrite_destination(ConnectionPair *pair, DBusMessage *message);

// 1 when `owned_names` holds a string equal to `name`, 0 otherwise.
int owned_names_contains(GList *owned_names, const char *name);
