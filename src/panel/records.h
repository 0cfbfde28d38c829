// The panel's GetAll calls that wait for the client's answer.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>
#include <glib.h>

// Serials are only unique per sender, and only the client that received a
// call can answer it; a record therefore names all three.
struct PanelCall {
    dbus_uint32_t serial;
    char *caller;               // the panel connection's unique name, owned
    const ConnectionPair *pair; // whose client received the call
};

// Elements are PanelCall records, oldest first; duplicates are allowed.
extern GList *panel_call_serials;

// 0 when recorded, -1 when out of memory or `caller` is null.
int panel_serial_add(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller);
// 1 when a record matches all three, 0 otherwise.
int panel_serial_contains(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller);
// Removes the oldest matching record, if any.
void panel_serial_remove(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller);
// Removes every record of `pair`.
void panel_serial_forget_pair(const ConnectionPair *pair);
