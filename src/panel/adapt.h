// Adapting the tray panel's GetAll replies so that icon paths resolve on
// the host.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Icon texts under these prefixes are shared with the host as they are.
extern const char *const shared_path_prefixes[];
extern const int shared_path_prefix_count;

// Index of the first of `count` prefixes that `text` begins with, or -1.
int match_path_prefix(const char *text, const char *const *prefixes, int count);

// For a reply from the client: 1 when a substitute reply went to the bus,
// do not forward `reply`; 0: forward `reply` unchanged.
int adapt_panel_reply(ConnectionPair *pair, DBusMessage *reply);

// The client answered a call with an error: its record, if any, is done.
void panel_call_failed(ConnectionPair *pair, DBusMessage *error);

// The pair is going: calls its client will never answer are forgotten.
void forget_panel_calls(const ConnectionPair *pair);
