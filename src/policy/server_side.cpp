// What the client may receive: the policy's half of the bus-side filter.
#include "policy/server_side.h"

#include "log/log.h"
#include "policy/names.h"
#include "util/dbus_ptr.h"

#include <cstring>

namespace {

bool is(const char *a, const char *b)
{
    return a && std::strcmp(a, b) == 0;
}

// Replies to the daemon's own calls: learn from them, never pass them on.
void own_reply(ConnectionPair *pair, PairPolicy *state, const OwnCall &call, DBusMessage *reply)
{
    if (dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_METHOD_RETURN)
        return;
    const PolicyRules *rules = pair->config->policy;
    if (call.kind == QUERY_NAME_OWNER) {
        const char *owner = nullptr;
        if (dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID) &&
            owner[0] == ':')
            pair_policy_owner_changed(rules, state, call.name.c_str(), "", owner);
        return;
    }
    if (call.kind != QUERY_LIST_NAMES)
        return;
    DBusMessageIter iter, names;
    if (!dbus_message_iter_init(reply, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(&iter) != DBUS_TYPE_STRING)
        return;
    dbus_message_iter_recurse(&iter, &names);
    for (; dbus_message_iter_get_arg_type(&names) == DBUS_TYPE_STRING;
         dbus_message_iter_next(&names)) {
        const char *name = nullptr;
        dbus_message_iter_get_basic(&names, &name);
        if (name[0] != ':' && !rules->exact.count(name) && policy_level(rules, name) >= POLICY_SEE)
            pair_policy_query_owner(pair, state, name);
    }
}

// The bus's list with only what the client may see.
PolicyVerdict filter_list(ConnectionPair *pair, PairPolicy *state, DBusMessage *reply)
{
    DBusMessageIter iter, names;
    if (!dbus_message_iter_init(reply, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(&iter) != DBUS_TYPE_STRING)
        return POLICY_FORWARD;

    MessagePtr copy(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    DBusMessageIter out, array;
    bool ok = copy && dbus_message_set_reply_serial(copy.get(), dbus_message_get_reply_serial(reply)) &&
              dbus_message_set_sender(copy.get(), dbus_message_get_sender(reply)) &&
              dbus_message_set_destination(copy.get(), dbus_message_get_destination(reply));
    if (ok) {
        dbus_message_iter_init_append(copy.get(), &out);
        ok = dbus_message_iter_open_container(&out, DBUS_TYPE_ARRAY, "s", &array);
    }
    dbus_message_iter_recurse(&iter, &names);
    for (; ok && dbus_message_iter_get_arg_type(&names) == DBUS_TYPE_STRING;
         dbus_message_iter_next(&names)) {
        const char *name = nullptr;
        dbus_message_iter_get_basic(&names, &name);
        if (policy_name_visible(pair, state, name))
            ok = dbus_message_iter_append_basic(&array, DBUS_TYPE_STRING, &name);
    }
    ok = ok && dbus_message_iter_close_container(&out, &array);
    // Without memory for the copy the client gets no answer rather than
    // the full list.
    if (ok)
        dbus_connection_send(pair->client, copy.get(), nullptr);
    return POLICY_HANDLED;
}

PolicyVerdict reply(ConnectionPair *pair, PairPolicy *state, DBusMessage *message)
{
    if (!is(dbus_message_get_sender(message), DBUS_SERVICE_DBUS))
        return POLICY_FORWARD;
    const uint32_t serial = dbus_message_get_reply_serial(message);
    if (auto own = state->own_queries.find(serial); own != state->own_queries.end()) {
        const OwnCall call = own->second;
        state->own_queries.erase(own);
        own_reply(pair, state, call, message);
        return POLICY_HANDLED;
    }
    if (auto asked = state->owner_calls.find(serial); asked != state->owner_calls.end()) {
        const char *owner = nullptr;
        if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_RETURN &&
            dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID) &&
            owner[0] == ':')
            pair_policy_owner_changed(pair->config->policy, state, asked->second.c_str(), "",
                                      owner);
        state->owner_calls.erase(asked);
        return POLICY_FORWARD;
    }
    auto list = state->list_calls.find(serial);
    if (list == state->list_calls.end())
        return POLICY_FORWARD;
    state->list_calls.erase(list);
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_RETURN)
        return POLICY_FORWARD;
    return filter_list(pair, state, message);
}

PolicyVerdict drop(DBusMessage *signal, const char *why)
{
    LOG_DEBUG("[SERVICE:]Access policy dropped signal %s.%s from %s: %s\n",
              or_null(dbus_message_get_interface(signal)), or_null(dbus_message_get_member(signal)),
              or_null(dbus_message_get_sender(signal)), why);
    return POLICY_HANDLED;
}

PolicyVerdict owner_changed(ConnectionPair *pair, PairPolicy *state, DBusMessage *signal)
{
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (!dbus_message_get_args(signal, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                               &old_owner, DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID))
        return drop(signal, "malformed");
    // Judged before the update: a unique name that just went was known.
    const bool visible = policy_name_visible(pair, state, name);
    pair_policy_owner_changed(pair->config->policy, state, name, old_owner, new_owner);
    if (!visible)
        return drop(signal, "name not visible");
    for (const OwnerChangeMatch &match : state->owner_matches)
        if (owner_change_matches(match, name, old_owner, new_owner))
            return POLICY_FORWARD;
    // Only the daemon's own subscription brought it.
    return POLICY_HANDLED;
}

PolicyVerdict signal(ConnectionPair *pair, PairPolicy *state, DBusMessage *message)
{
    const char *sender = dbus_message_get_sender(message);
    if (is(sender, DBUS_SERVICE_DBUS)) {
        if (is(dbus_message_get_member(message), "NameOwnerChanged") &&
            is(dbus_message_get_interface(message), DBUS_INTERFACE_DBUS))
            return owner_changed(pair, state, message);
        return POLICY_FORWARD;
    }
    // Addressed to the client: whoever may send to it may signal it.
    if (dbus_message_get_destination(message))
        return POLICY_FORWARD;
    if (!sender)
        return drop(message, "no sender");
    NameGrant grant = pair_policy_unique_grant(pair->config->policy, state, sender);
    if (grant_allows_broadcast(grant, dbus_message_get_interface(message),
                               dbus_message_get_member(message), dbus_message_get_path(message)))
        return POLICY_FORWARD;
    return drop(message, "sender not allowed");
}

} // namespace

PolicyVerdict policy_server_message(ConnectionPair *pair, DBusMessage *message)
{
    if (!pair->config->policy)
        return POLICY_FORWARD;
    PairPolicy *state = pair_policy_get(pair);
    switch (dbus_message_get_type(message)) {
    case DBUS_MESSAGE_TYPE_METHOD_RETURN:
    case DBUS_MESSAGE_TYPE_ERROR:
        return reply(pair, state, message);
    case DBUS_MESSAGE_TYPE_METHOD_CALL:
        // Host programs reach the client's objects; the client may answer
        // and call back.
        if (const char *sender = dbus_message_get_sender(message))
            state->callers.insert(sender);
        return POLICY_FORWARD;
    case DBUS_MESSAGE_TYPE_SIGNAL:
        return signal(pair, state, message);
    default:
        return POLICY_FORWARD;
    }
}
