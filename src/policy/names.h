// Per-pair state of the policy: the peers that called the client, the
// calls the client still owes an answer, and the client's calls to the bus
// whose replies the policy reads. Owners of names live in owners.h, once
// for the whole daemon.
#pragma once

#include "policy/rule_set.h"
#include "session/pair.h"

#include <glib.h>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>

// What a client can make the daemon hold for it; past these the oldest
// record goes (answers, callers) or the call is refused (bus calls).
inline constexpr size_t POLICY_MAX_OWED_ANSWERS = 4096;
inline constexpr size_t POLICY_MAX_CALLERS = 4096;
inline constexpr size_t POLICY_MAX_BUS_CALLS = 1024;

enum BusCallKind { BUS_CALL_PLAIN, BUS_CALL_LIST_NAMES, BUS_CALL_LIST_ACTIVATABLE, BUS_CALL_NAME_OWNER };

// A client's call to the bus, until the bus answers it.
struct BusCall {
    BusCallKind kind = BUS_CALL_PLAIN;
    bool swallow = false; // the client asked for no reply; ours asked for one
    std::string name;     // BUS_CALL_NAME_OWNER: the name asked about
};

// A call from a host peer that the client may answer once.
struct OwedAnswer {
    std::string key;  // caller's unique name and the call's serial
    gint64 deadline;  // monotonic time after which the caller gave up
};

struct PairPolicy {
    std::unordered_set<std::string> callers;                 // host peers that called in
    std::unordered_map<std::string, uint64_t> owed;          // key -> stamp in owed_order
    std::map<uint64_t, OwedAnswer> owed_order;               // oldest first
    uint64_t next_stamp = 0;
    std::unordered_map<uint32_t, BusCall> bus_calls;         // client serial
    std::string talkable;                                    // last well-known name found talkable
};

PairPolicy *pair_policy_get(ConnectionPair *pair);
// pair_free calls it; null is harmless.
void pair_policy_free(PairPolicy *state);

// A call the bus delivered to the client: its caller may be called back,
// and when it expects a reply the client may answer it once.
void pair_policy_called(PairPolicy *state, const char *caller, uint32_t serial,
                        bool expects_reply);
// Takes the record of a call the client answers; false when there is none
// (never delivered, answered already, expired, or its caller left).
bool pair_policy_take_answer(PairPolicy *state, const char *caller, uint32_t serial);
// The tracker's notice that a peer that called the client has left.
void pair_policy_peer_left(PairPolicy *state, const std::string &unique);

// A unique name the client may know of: itself, an owner of a visible
// name, or a peer that called it.
bool pair_policy_knows_unique(ConnectionPair *pair, const PairPolicy *state, const char *unique);
bool policy_name_visible(ConnectionPair *pair, const PairPolicy *state, const char *name);
