// What the client may send: the policy's half of the client-side filter.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Shared with server_side.h.
enum PolicyVerdict { POLICY_FORWARD = 0, POLICY_HANDLED = 1, POLICY_WAIT = 2 };
// From the client, before destination rewriting. HANDLED: refused and
// answered, or answered by the daemon; the caller stops. WAIT: the verdict
// waits for the owner tracker to catch up (a round trip to the bus, bounded
// in time); the caller holds the message and every later one of the
// client, and when `resume(pair)` is called passes them through again,
// this message first.
PolicyVerdict policy_client_message(ConnectionPair *pair, DBusMessage *message,
                                    void (*resume)(ConnectionPair *));
// The bus methods that ask about one name (their first argument).
bool policy_is_name_query(const char *member);
