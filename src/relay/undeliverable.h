// What happens to a relayed message that could not be sent: whoever waits
// for a reply is answered with an error, anything else is logged.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// `message` could not be queued on `target` (one of the pair's two
// connections). A method return or error becomes an error reply to the same
// call on `target`; a method call is answered with an error on the other
// connection (unless no reply is expected); a signal is dropped with a
// rate-limited warning.
void relay_undeliverable(ConnectionPair *pair, DBusConnection *target, DBusMessage *message);
