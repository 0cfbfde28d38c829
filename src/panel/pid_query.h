// Asking the host bus for the process behind a caller.
#pragma once

#include <dbus/dbus.h>

// The proxy's own connection to the bus of `type`, used for nothing but
// process-id queries; opened on first use and again after it was lost.
// Null when the bus cannot be reached.
DBusConnection *panel_query_connection(DBusBusType type);

// Asks the bus on `connection` for the process id behind `unique_name`;
// -1 when there is no answer.
int query_connection_pid(DBusConnection *connection, const char *unique_name);
