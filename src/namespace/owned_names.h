// The registry of names that clients of this daemon own under the
// namespace (config->owned_names): a call from any client to N reaches
// N.<namespace> while a client here owns it, with or without a line in the
// activation list.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// A client's RequestName as it goes to the bus (after any translation):
// its reply is watched for the log, never waited for.
void owned_names_note_request(ConnectionPair *pair, DBusMessage *call);
// From the bus to the client: a reply to a noted RequestName, or the
// NameAcquired / NameLost that grant and take a name (also one granted
// later from the queue). Keeps pair->client_names and the registry.
void owned_names_note_from_bus(ConnectionPair *pair, DBusMessage *message);
// The client is going: its names leave the registry. pair_free calls it.
void owned_names_forget_pair(ConnectionPair *pair);
