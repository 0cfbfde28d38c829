#include "policy/names.h"

#include "util/dbus_ptr.h"

#include <algorithm>
#include <cstring>

namespace {

// Sends one of the daemon's own bus calls; the reply is recognised by serial.
void send_own(ConnectionPair *pair, PairPolicy *state, DBusMessage *call, OwnQuery kind,
              const char *name = "")
{
    const uint32_t serial = state->next_serial++;
    dbus_message_set_serial(call, serial);
    if (dbus_connection_send(pair->server, call, nullptr))
        state->own_queries[serial] = OwnCall{kind, name};
}

MessagePtr driver_call(const char *member)
{
    return MessagePtr(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                   DBUS_INTERFACE_DBUS, member));
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
    delete state;
}

void pair_policy_query_owner(ConnectionPair *pair, PairPolicy *state, const char *name)
{
    MessagePtr call = driver_call("GetNameOwner");
    if (call && dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID))
        send_own(pair, state, call.get(), QUERY_NAME_OWNER, name);
}

void pair_policy_start(ConnectionPair *pair, PairPolicy *state)
{
    if (state->started)
        return;
    state->started = true;
    // The bus delivers a signal once however many rules match it, so the
    // client's own NameOwnerChanged rules are tracked to tell which of these
    // it asked for.
    MessagePtr match = driver_call("AddMatch");
    const char *rule = "type='signal',sender='org.freedesktop.DBus',"
                       "interface='org.freedesktop.DBus',member='NameOwnerChanged'";
    if (match &&
        dbus_message_append_args(match.get(), DBUS_TYPE_STRING, &rule, DBUS_TYPE_INVALID)) {
        dbus_message_set_no_reply(match.get(), TRUE);
        send_own(pair, state, match.get(), QUERY_MATCH);
    }
    // Names covered by a prefix are learnt from the list; exact ones are
    // asked for at once so that their signals pass from the start.
    for (const auto &[name, rules] : pair->config->policy->exact)
        pair_policy_query_owner(pair, state, name.c_str());
    if (!pair->config->policy->prefix.empty()) {
        MessagePtr list = driver_call("ListNames");
        if (list)
            send_own(pair, state, list.get(), QUERY_LIST_NAMES);
    }
}

void pair_policy_owner_changed(const PolicyRules *rules, PairPolicy *state, const char *name,
                               const char *old_owner, const char *new_owner)
{
    if (name[0] == ':') {
        if (*new_owner)
            return;
        state->owned_by.erase(name);
        state->callers.erase(name);
        return;
    }
    if (policy_level(rules, name) < POLICY_SEE)
        return;
    auto previous = state->owner_of.find(name);
    if (previous != state->owner_of.end()) {
        auto owned = state->owned_by.find(previous->second);
        if (owned != state->owned_by.end()) {
            std::erase(owned->second, std::string(name));
            if (owned->second.empty())
                state->owned_by.erase(owned);
        }
        state->owner_of.erase(previous);
    }
    (void)old_owner;
    if (*new_owner) {
        state->owner_of[name] = new_owner;
        state->owned_by[new_owner].push_back(name);
    }
}

bool pair_policy_knows_unique(ConnectionPair *pair, const PairPolicy *state, const char *unique)
{
    const char *self = dbus_bus_get_unique_name(pair->server);
    return (self && std::strcmp(self, unique) == 0) || state->owned_by.count(unique) ||
           state->callers.count(unique);
}

NameGrant pair_policy_unique_grant(const PolicyRules *rules, const PairPolicy *state,
                                   const char *unique)
{
    NameGrant grant;
    auto owned = state->owned_by.find(unique);
    if (owned == state->owned_by.end())
        return grant;
    for (const std::string &name : owned->second) {
        NameGrant one = policy_lookup(rules, name.c_str());
        grant.level = std::max(grant.level, one.level);
        grant.sources.insert(grant.sources.end(), one.sources.begin(), one.sources.end());
    }
    return grant;
}

bool policy_name_visible(ConnectionPair *pair, const PairPolicy *state, const char *name)
{
    if (std::strcmp(name, DBUS_SERVICE_DBUS) == 0)
        return true;
    if (name[0] == ':')
        return pair_policy_knows_unique(pair, state, name);
    return policy_level(pair->config->policy, name) >= POLICY_SEE;
}
