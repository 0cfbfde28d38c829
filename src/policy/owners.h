// Who owns the names the policy lets clients see: one tracker for the whole
// daemon, on the daemon's own bus connection, answering every pair from one
// map. Pairs add only what they alone learn (the peers that called them).
#pragma once

#include "config/config.h"
#include "policy/rule_set.h"

#include <string>

struct PairPolicy;

// Opens the daemon's own connection when needed (at start, and for every
// filtered client, so that a lost bus is followed by a new subscription).
// Never waits: what it learns comes through the loop.
void owners_start(const ProxyConfig *config);

// The unique name that owns `name`, or null when none is known.
const char *owners_owner_of(const char *name);
// Whether `unique` owns a name that `rules` let clients see.
bool owners_owns_visible(const PolicyRules *rules, const char *unique);

// Several policies in use (containers): the tracker follows every name that
// `sees` says some policy sees, instead of one policy's names, and never
// looks at the config given to owners_start again. Called again when the
// policies changed: names now seen are asked for, others forgotten.
void owners_track_any(bool (*sees)(const char *name));
// All that the names owned by `unique` are granted.
NameGrant owners_unique_grant(const PolicyRules *rules, const char *unique);

// What a pair saw on its own connection: the bus's NameOwnerChanged, or its
// answer to the client's GetNameOwner. The tracker may see its own copy
// later; a change is applied only when it follows on from what is known, so
// a late copy cannot undo a newer one.
void owners_learn(const PolicyRules *rules, const char *name, const char *old_owner,
                  const char *new_owner);
void owners_learn_owner(const PolicyRules *rules, const char *name, const char *owner);

// A pair remembers `unique` (a peer that called its client) until that peer
// leaves the bus; then the tracker tells the pair (pair_policy_peer_left).
void owners_watch_peer(PairPolicy *state, const std::string &unique);
void owners_unwatch_peer(PairPolicy *state, const std::string &unique);
