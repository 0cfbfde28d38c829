// Who owns the names the policy lets clients see: one tracker for the whole
// daemon, on the daemon's own bus connection, answering every pair from one
// map. It learns from that connection alone, in the bus's order: nothing
// that arrives on a client's connection teaches it, however early or late
// it comes. Pairs add only what they alone learn (the peers that called them).
#pragma once

#include "config/config.h"
#include "policy/rule_set.h"

#include <string>
#include <vector>

struct PairPolicy;

// Opens the daemon's own connection when needed (at start, and for every
// filtered client, so that a lost bus is followed by a new subscription).
// Never waits: what it learns comes through the loop.
void owners_start(const ProxyConfig *config);

// The unique name that owns `name`, or null when none is known.
const char *owners_owner_of(const char *name);
// Whether `unique` owns a name that `rules` let clients see.
bool owners_owns_visible(const PolicyRules *rules, const char *unique);
// All that the names owned by `unique` are granted by `rules`: kept
// combined as names change owner, so this is one lookup however many names
// it owns. Nothing for a policy the tracker does not serve.
const NameGrant &owners_unique_grant(const PolicyRules *rules, const char *unique);

// Several policies in use (containers): the tracker follows every name that
// one of `policies` sees, instead of owners_start's one policy, and never
// looks at the config given to owners_start again. Called again whenever
// the policies change: names now seen are asked for, others forgotten.
void owners_track_policies(std::vector<const PolicyRules *> policies);

// A client may have heard of a change before the tracker has: the bus
// wrote to both connections, and the loop read the client's first. This
// asks the bus for a round trip (a Ping) on the tracker's connection; once
// its answer is in, everything the bus said before it has been applied, and
// `done(key)` runs. It also runs when the answer takes longer than
// overrides.policy_owner_wait_ms or the bus is lost, and never from within
// owners_sync. False when no round trip could be started: judge with what
// is known. One Ping is in flight at a time, for every waiter of the daemon.
using OwnersSynced = void (*)(void *key);
bool owners_sync(void *key, OwnersSynced done);
void owners_sync_cancel(void *key);

// A pair remembers `unique` (a peer that called its client) until that peer
// leaves the bus; then the tracker tells the pair (pair_policy_peer_left).
void owners_watch_peer(PairPolicy *state, const std::string &unique);
void owners_unwatch_peer(PairPolicy *state, const std::string &unique);
