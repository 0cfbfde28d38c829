#include "policy/names.h"

#include "policy/owners.h"

#include <cstring>

namespace {

// The bus itself never gives up on a reply; a caller that waits longer
// than this for the container has long since moved on.
constexpr gint64 answer_timeout_us = 300 * G_USEC_PER_SEC;

std::string answer_key(const char *caller, uint32_t serial)
{
    std::string key(caller);
    key.push_back('\0');
    key.append(reinterpret_cast<const char *>(&serial), sizeof serial);
    return key;
}

void forget_answer(PairPolicy *state, std::map<uint64_t, OwedAnswer>::iterator it)
{
    state->owed.erase(it->second.key);
    state->owed_order.erase(it);
}

void forget_caller(PairPolicy *state, const std::string &unique)
{
    state->callers.erase(unique);
    // Its calls are no longer the client's to answer.
    for (auto it = state->owed_order.begin(); it != state->owed_order.end();) {
        const std::string &key = it->second.key;
        if (key.compare(0, unique.size() + 1, unique.c_str(), unique.size() + 1) == 0)
            forget_answer(state, it++);
        else
            ++it;
    }
}

} // namespace

PairPolicy *pair_policy_get(ConnectionPair *pair)
{
    if (!pair->policy)
        pair->policy = new PairPolicy;
    return pair->policy;
}

void pair_policy_free(PairPolicy *state)
{
    if (!state)
        return;
    for (const std::string &unique : state->callers)
        owners_unwatch_peer(state, unique);
    delete state;
}

void pair_policy_called(PairPolicy *state, const char *caller, uint32_t serial,
                        bool expects_reply)
{
    if (!state->callers.count(caller)) {
        if (state->callers.size() >= POLICY_MAX_CALLERS) {
            // Forgetting one of many peers is better than growing without end.
            const std::string evicted = *state->callers.begin();
            owners_unwatch_peer(state, evicted);
            forget_caller(state, evicted);
        }
        state->callers.insert(caller);
        owners_watch_peer(state, caller);
    }
    if (!expects_reply)
        return;
    std::string key = answer_key(caller, serial);
    if (state->owed.count(key))
        return; // a caller that reuses a serial is owed one answer
    if (state->owed.size() >= POLICY_MAX_OWED_ANSWERS)
        forget_answer(state, state->owed_order.begin());
    const uint64_t stamp = state->next_stamp++;
    state->owed.emplace(key, stamp);
    state->owed_order.emplace(stamp, OwedAnswer{std::move(key),
                                                g_get_monotonic_time() + answer_timeout_us});
}

bool pair_policy_take_answer(PairPolicy *state, const char *caller, uint32_t serial)
{
    auto found = state->owed.find(answer_key(caller, serial));
    if (found == state->owed.end())
        return false;
    auto it = state->owed_order.find(found->second);
    const bool live = it->second.deadline > g_get_monotonic_time();
    forget_answer(state, it);
    // Expired records in front of it go too: they are older still.
    while (!state->owed_order.empty() &&
           state->owed_order.begin()->second.deadline <= g_get_monotonic_time())
        forget_answer(state, state->owed_order.begin());
    return live;
}

void pair_policy_peer_left(PairPolicy *state, const std::string &unique)
{
    forget_caller(state, unique);
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
