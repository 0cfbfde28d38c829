// Panel records: the panel's GetAll calls that wait for the client's
// answer, so that the answer can be adapted.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>
#include <glib.h>

#include <cstddef>

// Despite its name, the table holds panel records keyed by pair, serial and
// caller, not bare serials: serials are only unique per sender, and only
// the client that received a call can answer it. A reply is matched at the
// same cost whatever the number of records; the table exists only while it
// holds records (null otherwise). Duplicates are allowed and leave oldest
// first.
extern GHashTable *panel_call_serials;

// Key comparisons made by the table: lets tests see that matching a reply
// does not walk the records.
extern unsigned long panel_record_key_comparisons;

// 0 when recorded, -1 when out of memory or `caller` is null.
int panel_record_add(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller);
// 1 when a record matches all three, 0 otherwise.
int panel_record_contains(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller);
// Removes the oldest matching record, if any.
void panel_record_remove(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller);
// Removes every record of `pair`.
void panel_record_forget_pair(const ConnectionPair *pair);
// How many records there are, duplicates included.
size_t panel_record_count();
// Removes the records whose time was up at `now` (g_get_monotonic_time()).
// A GLib timeout calls it while records exist.
void panel_record_expire(gint64 now);
