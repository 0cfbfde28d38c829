// The panel's GetAll calls that wait for the client's answer.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>
#include <glib.h>

#include <cstddef>

// Serials are only unique per sender, and only the client that received a
// call can answer it; a record therefore names all three. The table is
// keyed by the three, so a reply is matched at the same cost whatever the
// number of records; it exists only while it holds records (null
// otherwise). Duplicates are allowed and leave oldest first.
extern GHashTable *panel_call_serials;

// How long a call that is never answered stays recorded, in milliseconds:
// the D-Bus default method-call timeout, after which the caller has given
// up anyway. A reply that comes later is forwarded unchanged.
extern unsigned panel_record_timeout_ms;

// Key comparisons made by the table: lets tests see that matching a reply
// does not walk the records.
extern unsigned long panel_record_key_comparisons;

// 0 when recorded, -1 when out of memory or `caller` is null.
int panel_serial_add(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller);
// 1 when a record matches all three, 0 otherwise.
int panel_serial_contains(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller);
// Removes the oldest matching record, if any.
void panel_serial_remove(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller);
// Removes every record of `pair`.
void panel_serial_forget_pair(const ConnectionPair *pair);
// How many records there are, duplicates included.
size_t panel_serial_count();
// Removes the records whose time was up at `now` (g_get_monotonic_time()).
// A GLib timeout calls it while records exist.
void panel_serial_expire(gint64 now);
