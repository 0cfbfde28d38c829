// The audit (--audit[=FILE], a container's `audit [FILE]`): one line for
// each distinct thing a client does, and, when it leaves or on SIGUSR1, the
// smallest access policy that would have allowed all of it. Each config's
// clients are audited into its `audit` (null: not audited), one record per
// destination. The folder's entry points:
//   audit.cpp        the command-line option, the hooks of the two filters
//   refusal.h        audit_refused, for whatever refuses a client's message
//   policy_file.cpp  the policy text and the file it goes to
#pragma once

#include "audit/refusal.h"
#include "session/pair.h"

#include <dbus/dbus.h>

#include <string>

struct Audit;

// The audit into FILE ("" : the log), with its own merged policy and
// writer: the record already open for that destination, shared, or a new
// one with what FILE holds. Null, with the reason, when FILE exists and
// cannot be read.
Audit *audit_open(const std::string &file, std::string *why);
// A holder is done with it. When it was the last, what it holds is written
// at once and the record is freed once the write is done.
void audit_release(Audit *audit);

// 1: `arg` is --audit or --audit=FILE (and FILE, if it exists, could be
// read), now `config->audit`; 0: not an audit option. An unreadable FILE
// ends the process.
int audit_command_line_option(ProxyConfig *config, const char *arg);
// An audit is open.
bool audit_enabled();

// A message from the client, before anything judges or rewrites it.
void audit_client_message(ConnectionPair *pair, DBusMessage *message);
// A message from the bus for the client; `withheld`: the policy dropped it.
void audit_bus_message(ConnectionPair *pair, DBusMessage *message, bool withheld);
// The client is gone: its policy is written. pair_free calls it.
void audit_pair_end(ConnectionPair *pair);
// SIGUSR1: the policy of every client still connected, in every audit, is
// written.
void audit_write_all();
// At exit: as audit_write_all, then everything is released.
void audit_finish();
