// Per-pair state of the policy: who owns the names the client may see, who
// called the client, and the bus calls whose replies the policy handles.
#pragma once

#include "policy/match_rule.h"
#include "policy/rule_set.h"
#include "session/pair.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Serials of the daemon's own calls on a pair's bus connection. The client's
// calls go out there with the client's serials, so ours come from far above
// them and cannot be mistaken for the client's replies.
inline constexpr uint32_t POLICY_OWN_SERIAL_BASE = 0xF0000000u;

enum OwnQuery { QUERY_MATCH, QUERY_LIST_NAMES, QUERY_NAME_OWNER };
enum ListKind { LIST_NAMES, LIST_ACTIVATABLE };

struct OwnCall {
    OwnQuery kind;
    std::string name; // QUERY_NAME_OWNER: the name asked about
};

struct PairPolicy {
    bool started = false;
    std::unordered_map<std::string, std::string> owner_of;                // visible name -> unique
    std::unordered_map<std::string, std::vector<std::string>> owned_by;  // unique -> visible names
    std::unordered_set<std::string> callers;                              // host peers that called in
    std::unordered_map<uint32_t, ListKind> list_calls;                    // client serial
    std::unordered_map<uint32_t, std::string> owner_calls;                // client serial -> name
    std::unordered_map<uint32_t, OwnCall> own_queries;                    // our serial
    uint32_t next_serial = POLICY_OWN_SERIAL_BASE;
    std::vector<OwnerChangeMatch> owner_matches; // the client's NameOwnerChanged rules
};

PairPolicy *pair_policy_get(ConnectionPair *pair);
// pair_free calls it; null is harmless.
void pair_policy_free(PairPolicy *state);
// Subscribes the pair to ownership changes and asks who owns the names the
// policy names; never waits: the replies come through the bus-side filter.
void pair_policy_start(ConnectionPair *pair, PairPolicy *state);
void pair_policy_query_owner(ConnectionPair *pair, PairPolicy *state, const char *name);
void pair_policy_owner_changed(const PolicyRules *rules, PairPolicy *state, const char *name,
                               const char *old_owner, const char *new_owner);
// A unique name the client may know of: itself, an owner of a visible
// name, or a peer that called it.
bool pair_policy_knows_unique(ConnectionPair *pair, const PairPolicy *state, const char *unique);
// All that the names owned by `unique` are granted.
NameGrant pair_policy_unique_grant(const PolicyRules *rules, const PairPolicy *state,
                                   const char *unique);
bool policy_name_visible(ConnectionPair *pair, const PairPolicy *state, const char *name);
