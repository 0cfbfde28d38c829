// The audit's one hook for whatever refuses a client's message.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// `message` from the client was refused (or answered as if its name did
// not exist). Logs it once per client with --audit; nothing otherwise.
void audit_refused(ConnectionPair *pair, DBusMessage *message);
