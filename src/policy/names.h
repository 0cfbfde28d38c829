// Per-pair state of the policy: the peers that called the client, the
// calls the client still owes an answer, the client's calls to the bus
// whose replies the policy reads, and the messages waiting for the owner
// tracker. Owners of names live in owners.h, once for the whole daemon.
#pragma once

#include "policy/rule_set.h"
#include "session/pair.h"

#include <glib.h>

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

// What a client can make the daemon hold for it.
// Answers owed to host callers, all callers together; past it the caller
// owed the most loses its oldest record, so that one caller's flood never
// costs another caller its answers.
inline constexpr size_t POLICY_MAX_OWED_ANSWERS = 4096;
// Host peers that called the client and are still on the bus (those that
// left are forgotten); past it the one that called least recently goes.
inline constexpr size_t POLICY_MAX_CALLERS = 4096;
// The client's calls to the bus awaiting their answers; past it refused.
inline constexpr size_t POLICY_MAX_BUS_CALLS = 1024;
// Well-known names one client may own, counting its requests awaiting the
// bus's answer: the bus's own default per connection. Past it RequestName
// is answered LimitsExceeded, as the bus would.
inline constexpr size_t POLICY_MAX_OWNED_NAMES = 512;
// Callers that left, kept until the client has seen them go.
inline constexpr size_t POLICY_MAX_DEPARTED = 64;
// Owners that the client's own connection named before the tracker did.
inline constexpr size_t POLICY_MAX_HINTS = 16;

enum BusCallKind {
    BUS_CALL_PLAIN,
    BUS_CALL_LIST_NAMES,
    BUS_CALL_LIST_ACTIVATABLE,
    BUS_CALL_NAME_OWNER,
    BUS_CALL_REQUEST_NAME,
};

// A client's call to the bus, until the bus answers it.
struct BusCall {
    BusCallKind kind = BUS_CALL_PLAIN;
    bool swallow = false; // the client asked for no reply; ours asked for one
};

// A host peer that called the client: the calls the client may answer
// once (serial -> monotonic deadline), and its place among the callers.
struct Caller {
    std::map<uint32_t, gint64> owed;
    std::list<std::string>::iterator recent;
};

// One direction's message that waits for the tracker to catch up; the
// relay holds it (and what follows it) and hands it back to the policy.
struct PolicyWait {
    struct PairPolicy *state = nullptr;
    const DBusMessage *message = nullptr; // identifies it; the relay holds the reference
    bool settled = false;                 // the wait is over: judge with what is known
    void (*resume)(ConnectionPair *) = nullptr;
};

struct PairPolicy {
    ConnectionPair *pair = nullptr;
    std::unordered_map<std::string, Caller> callers; // host peers that called in
    std::list<std::string> recent;                   // callers, the latest call last
    // Callers owed answers, by how many: the largest loses when all are full.
    std::set<std::pair<size_t, const std::string *>> by_owed;
    size_t owed_total = 0;
    std::deque<std::string> departed;                // callers that left, oldest first
    std::deque<std::string> hints;                   // see pair_policy_hint
    std::unordered_map<uint32_t, BusCall> bus_calls; // client serial
    size_t name_requests = 0;                        // BUS_CALL_REQUEST_NAME among them
    std::string talkable; // last well-known name found talkable
    PolicyWait from_client, from_bus;
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
// The tracker's notice that a peer that called the client has left. The
// client may still see it go (pair_policy_saw_departure), whichever of the
// two copies of the bus's notice comes first.
void pair_policy_peer_left(PairPolicy *state, const std::string &unique);
// True once when `unique` is a caller that left and the client is now told.
bool pair_policy_saw_departure(PairPolicy *state, const char *unique);

// The client's own connection named `unique` as the owner of a visible
// name (a change or an answer): the tracker may not know it yet, so what
// comes from it may wait for the tracker rather than be dropped at once.
// A hint grants nothing.
void pair_policy_hint(PairPolicy *state, const char *unique);
// True (once) when `unique` was hinted.
bool pair_policy_take_hint(PairPolicy *state, const char *unique);

// Holds `message` until the tracker has caught up (owners_sync); then
// `wait->resume(pair)` hands it back. False when no wait could start.
bool pair_policy_wait(PolicyWait *wait, DBusMessage *message, void (*resume)(ConnectionPair *));
// Whether `message` is back from its wait: it is then judged with what the
// tracker knows and never waits again.
bool pair_policy_resumed(PolicyWait *wait, DBusMessage *message);

// A unique name the client may know of: itself, an owner of a visible
// name, or a peer that called it.
bool pair_policy_knows_unique(ConnectionPair *pair, const PairPolicy *state, const char *unique);
bool policy_name_visible(ConnectionPair *pair, const PairPolicy *state, const char *name);
