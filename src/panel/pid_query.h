// Asking the host bus for the process behind a caller, without waiting.
#pragma once

#include <dbus/dbus.h>

// The proxy's own connection to the bus of `type`, used for nothing but
// process-id queries; opened on first use and again after it was lost.
// Opening does not wait: queries sent meanwhile follow its Hello. Null when
// the bus cannot be reached.
DBusConnection *panel_query_connection(DBusBusType type);

// Grows whenever the query connection is lost or replaced: a bus that
// restarted hands its unique names out again, so what was learnt about a
// name before no longer holds.
extern unsigned long panel_query_generation;

// Asks the bus on `connection` for the process id behind `unique_name`;
// `on_answer` runs with `data` once the bus answers or the query times out.
// Null when the query could not be sent.
DBusPendingCall *query_connection_pid(DBusConnection *connection, const char *unique_name,
                                      DBusPendingCallNotifyFunction on_answer, void *data);

// The process id in the answer to a query, or -1.
int query_answer_pid(DBusPendingCall *pending);
