// The daemon's own connection to the host bus, for its own questions (the
// process behind a caller, who owns a name); never a client's connection,
// whose serials are the client's to choose.
#pragma once

#include <dbus/dbus.h>

// The connection to the bus of that kind, opened on first use and again
// after it was lost. Opening does not wait: what is sent meanwhile follows
// its Hello. Null when the bus cannot be reached.
DBusConnection *query_bus_connection(bool system_bus);

// Called with every connection that query_bus_connection opens, before it
// is returned: lets a user add its filter and subscriptions once per
// connection. At most a few users; each registers once.
using QueryBusOpened = void (*)(DBusConnection *connection);
void query_bus_on_open(QueryBusOpened fn);
// Called once when a connection of ours is lost (its bus went away).
using QueryBusLost = void (*)();
void query_bus_on_lost(QueryBusLost fn);
