// The audit (--audit[=FILE]): one line for each distinct thing a client
// does, and, when it leaves or on SIGUSR1, the smallest access policy that
// would have allowed all of it. The folder's entry points:
//   audit.cpp        the command-line option, the hooks of the two filters
//   refusal.h        audit_refused, for whatever refuses a client's message
//   policy_file.cpp  the policy text and the file it goes to
#pragma once

#include "audit/refusal.h"
#include "session/pair.h"

#include <dbus/dbus.h>

// 1: `arg` is --audit or --audit=FILE (and FILE, if it exists, could be
// read); 0: not an audit option. An unreadable FILE ends the process.
int audit_command_line_option(const char *arg);
bool audit_enabled();

// A message from the client, before anything judges or rewrites it.
void audit_client_message(ConnectionPair *pair, DBusMessage *message);
// A message from the bus for the client; `withheld`: the policy dropped it.
void audit_bus_message(ConnectionPair *pair, DBusMessage *message, bool withheld);
// The client is gone: its policy is written. pair_free calls it.
void audit_pair_end(ConnectionPair *pair);
// SIGUSR1: the policy of every client still connected is written.
void audit_write_all();
// At exit: as audit_write_all, then everything is released.
void audit_finish();
