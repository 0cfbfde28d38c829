#include "policy/names.h"

#include "policy/owners.h"

#include <algorithm>
#include <cstring>

namespace {

// The bus itself never gives up on a reply; a caller that waits longer
// than this for the container has long since moved on.
constexpr gint64 answer_timeout_us = 300 * G_USEC_PER_SEC;

// Keeps `by_owed` in step with a caller's count, around a change of it.
void unrank(PairPolicy *state, const std::string &name, const Caller &caller)
{
    if (!caller.owed.empty())
        state->by_owed.erase({caller.owed.size(), &name});
}

void rank(PairPolicy *state, const std::string &name, const Caller &caller)
{
    if (!caller.owed.empty())
        state->by_owed.insert({caller.owed.size(), &name});
}

void forget_oldest_answer(PairPolicy *state, const std::string &name, Caller &caller)
{
    unrank(state, name, caller);
    caller.owed.erase(caller.owed.begin());
    --state->owed_total;
    rank(state, name, caller);
}

void forget_caller(PairPolicy *state, std::unordered_map<std::string, Caller>::iterator it)
{
    // Its calls are no longer the client's to answer.
    unrank(state, it->first, it->second);
    state->owed_total -= it->second.owed.size();
    state->recent.erase(it->second.recent);
    state->callers.erase(it);
}

// Room for one more answer owed to `name`: when all are taken, the caller
// owed the most gives up its oldest, `name` itself on a tie.
void make_room_for_answer(PairPolicy *state, const std::string &name, Caller &caller)
{
    if (state->owed_total < POLICY_MAX_OWED_ANSWERS || state->by_owed.empty())
        return;
    const auto [most, whose] = *state->by_owed.rbegin();
    if (caller.owed.size() >= most)
        forget_oldest_answer(state, name, caller);
    else
        forget_oldest_answer(state, *whose, state->callers.find(*whose)->second);
}

void on_synced(void *key)
{
    auto *wait = static_cast<PolicyWait *>(key);
    wait->settled = true;
    wait->resume(wait->state->pair);
}

} // namespace

PairPolicy *pair_policy_get(ConnectionPair *pair)
{
    if (!pair->policy) {
        pair->policy = new PairPolicy;
        pair->policy->pair = pair;
        pair->policy->from_client.state = pair->policy;
        pair->policy->from_bus.state = pair->policy;
    }
    return pair->policy;
}

void pair_policy_free(PairPolicy *state)
{
    if (!state)
        return;
    owners_sync_cancel(&state->from_client);
    owners_sync_cancel(&state->from_bus);
    for (const auto &entry : state->callers)
        owners_unwatch_peer(state, entry.first);
    delete state;
}

void pair_policy_called(PairPolicy *state, const char *caller, uint32_t serial,
                        bool expects_reply)
{
    auto it = state->callers.find(caller);
    if (it == state->callers.end()) {
        if (state->callers.size() >= POLICY_MAX_CALLERS) {
            // Forgetting one of many peers is better than growing without end.
            auto least = state->callers.find(state->recent.front());
            owners_unwatch_peer(state, least->first);
            forget_caller(state, least);
        }
        it = state->callers.try_emplace(caller).first;
        it->second.recent = state->recent.insert(state->recent.end(), it->first);
        owners_watch_peer(state, it->first);
    } else {
        state->recent.splice(state->recent.end(), state->recent, it->second.recent);
    }
    Caller &record = it->second;
    // A caller that reuses a serial is owed one answer.
    if (!expects_reply || record.owed.count(serial))
        return;
    make_room_for_answer(state, it->first, record);
    unrank(state, it->first, record);
    record.owed.emplace(serial, g_get_monotonic_time() + answer_timeout_us);
    ++state->owed_total;
    rank(state, it->first, record);
}

bool pair_policy_take_answer(PairPolicy *state, const char *caller, uint32_t serial)
{
    auto it = state->callers.find(caller);
    if (it == state->callers.end())
        return false;
    Caller &record = it->second;
    auto owed = record.owed.find(serial);
    if (owed == record.owed.end())
        return false;
    const bool live = owed->second > g_get_monotonic_time();
    unrank(state, it->first, record);
    record.owed.erase(owed);
    --state->owed_total;
    rank(state, it->first, record);
    return live;
}

void pair_policy_peer_left(PairPolicy *state, const std::string &unique)
{
    auto it = state->callers.find(unique);
    if (it == state->callers.end())
        return;
    forget_caller(state, it);
    if (state->departed.size() >= POLICY_MAX_DEPARTED)
        state->departed.pop_front();
    state->departed.push_back(unique);
}

bool pair_policy_saw_departure(PairPolicy *state, const char *unique)
{
    auto it = std::find(state->departed.begin(), state->departed.end(), unique);
    if (it == state->departed.end())
        return false;
    state->departed.erase(it);
    return true;
}

void pair_policy_hint(PairPolicy *state, const char *unique)
{
    if (!unique || unique[0] != ':' ||
        std::find(state->hints.begin(), state->hints.end(), unique) != state->hints.end())
        return;
    if (state->hints.size() >= POLICY_MAX_HINTS)
        state->hints.pop_front();
    state->hints.push_back(unique);
}

bool pair_policy_take_hint(PairPolicy *state, const char *unique)
{
    auto it = std::find(state->hints.begin(), state->hints.end(), unique);
    if (it == state->hints.end())
        return false;
    state->hints.erase(it);
    return true;
}

bool pair_policy_wait(PolicyWait *wait, DBusMessage *message, void (*resume)(ConnectionPair *))
{
    if (!resume || !owners_sync(wait, on_synced))
        return false;
    wait->message = message;
    wait->settled = false;
    wait->resume = resume;
    return true;
}

bool pair_policy_resumed(PolicyWait *wait, DBusMessage *message)
{
    if (!wait->message || wait->message != message)
        return false;
    wait->message = nullptr;
    return wait->settled;
}

bool pair_policy_knows_unique(ConnectionPair *pair, const PairPolicy *state, const char *unique)
{
    const char *self = dbus_bus_get_unique_name(pair->server);
    return (self && std::strcmp(self, unique) == 0) || state->callers.count(unique) ||
           owners_owns_visible(pair->config->policy, unique);
}

bool policy_name_visible(ConnectionPair *pair, const PairPolicy *state, const char *name)
{
    if (std::strcmp(name, DBUS_SERVICE_DBUS) == 0)
        return true;
    if (name[0] == ':')
        return pair_policy_knows_unique(pair, state, name);
    return policy_level(pair->config->policy, name) >= POLICY_SEE;
}
