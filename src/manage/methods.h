// The methods of org.dbusproxydaemon.Containers1 (manage/service.h).
// AddContainer and RemoveContainer are for the daemon's user and root
// only, asked of the bus without waiting for it: the call is answered when
// the bus's answer comes. No client of the daemon may call any of them:
// its bus connection has the daemon's user, whatever its policy.
#pragma once

#include "manage/service.h"

#include <dbus/dbus.h>

void methods_init(const ProxyConfig *daemon, const ManageBackend &backend);
// A method call to the object: answered now or once the caller's user is
// known.
DBusHandlerResult methods_handle(DBusConnection *connection, DBusMessage *call);
// Drops the calls still waiting for the bus, unanswered.
void methods_stop();

// Whether `unique_name` is the bus connection of one of the daemon's
// clients.
bool methods_is_client(const char *unique_name);
