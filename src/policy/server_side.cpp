// What the client may receive: the policy's half of the bus-side filter.
#include "policy/server_side.h"

#include "log/escape.h"
#include "log/log.h"
#include "policy/names.h"
#include "policy/owners.h"
#include "util/dbus_ptr.h"

#include <cstring>

namespace {

bool is(const char *a, const char *b)
{
    return a && std::strcmp(a, b) == 0;
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

// The bus's answer to one of the client's bus calls, each recorded when it
// went out; anything else from the bus under a reply serial is no answer.
PolicyVerdict bus_reply(ConnectionPair *pair, PairPolicy *state, DBusMessage *message,
                        DBusMessage *shown)
{
    auto found = state->bus_calls.find(dbus_message_get_reply_serial(message));
    if (found == state->bus_calls.end())
        return POLICY_FORWARD;
    const bool is_list = found->second.kind == BUS_CALL_LIST_NAMES ||
                         found->second.kind == BUS_CALL_LIST_ACTIVATABLE;
    // The bus also answers calls to services with errors under the client's
    // serials: a list is answered by a return alone, so an error cannot use
    // up its record and let the list itself through unfiltered.
    if (is_list && dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_ERROR)
        return POLICY_FORWARD;
    const BusCall call = found->second;
    state->bus_calls.erase(found);
    state->name_requests -= call.kind == BUS_CALL_REQUEST_NAME;
    if (call.swallow)
        return POLICY_HANDLED;
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_RETURN)
        return POLICY_FORWARD;
    switch (call.kind) {
    case BUS_CALL_LIST_NAMES:
    case BUS_CALL_LIST_ACTIVATABLE:
        return filter_list(pair, state, shown);
    case BUS_CALL_NAME_OWNER: {
        const char *owner = nullptr;
        if (dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID))
            pair_policy_hint(state, owner);
        return POLICY_FORWARD;
    }
    default:
        return POLICY_FORWARD;
    }
}

PolicyVerdict drop(DBusMessage *signal, const char *why)
{
    LOG_DEBUG("[SERVICE:]Access policy dropped signal %s.%s from %s: %s\n",
              log_escape(dbus_message_get_interface(signal)).c_str(),
              log_escape(dbus_message_get_member(signal)).c_str(),
              log_escape(dbus_message_get_sender(signal)).c_str(), why);
    return POLICY_HANDLED;
}

// The pair's connection carries only what the client's own rules asked
// for; of that, the client sees changes of the names it may see. What it
// says teaches the tracker nothing: it may come before or long after the
// tracker's own copy.
PolicyVerdict owner_changed(ConnectionPair *pair, PairPolicy *state, DBusMessage *signal,
                            DBusMessage *shown)
{
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (!dbus_message_get_args(signal, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                               &old_owner, DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID))
        return drop(signal, "malformed");
    const char *shown_name = name;
    if (shown != signal)
        dbus_message_get_args(shown, nullptr, DBUS_TYPE_STRING, &shown_name, DBUS_TYPE_INVALID);
    if (policy_name_visible(pair, state, shown_name)) {
        if (shown_name[0] != ':')
            pair_policy_hint(state, new_owner);
        return POLICY_FORWARD;
    }
    // A caller that left, told here after the tracker's copy made the pair
    // forget it.
    if (shown_name[0] == ':' && !*new_owner && pair_policy_saw_departure(state, shown_name))
        return POLICY_FORWARD;
    return drop(signal, "name not visible");
}

PolicyVerdict signal(ConnectionPair *pair, PairPolicy *state, DBusMessage *message,
                     DBusMessage *shown, bool resumed, void (*resume)(ConnectionPair *))
{
    const char *sender = dbus_message_get_sender(message);
    if (is(sender, DBUS_SERVICE_DBUS)) {
        if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged"))
            return owner_changed(pair, state, message, shown);
        return POLICY_FORWARD;
    }
    // Addressed to the client: whoever may send to it may signal it.
    if (dbus_message_get_destination(message))
        return POLICY_FORWARD;
    if (!sender)
        return drop(message, "no sender");
    if (grant_allows_broadcast(owners_unique_grant(pair->config->policy, sender),
                               dbus_message_get_interface(message),
                               dbus_message_get_member(message), dbus_message_get_path(message),
                               message))
        return POLICY_FORWARD;
    // From an owner that the client's connection named a moment ago: it
    // waits for the tracker (a round trip) rather than be lost to the race.
    if (!resumed && pair_policy_take_hint(state, sender) &&
        pair_policy_wait(&state->from_bus, message, resume))
        return POLICY_WAIT;
    return drop(message, "sender not allowed");
}

} // namespace

PolicyVerdict policy_server_message(ConnectionPair *pair, DBusMessage *message,
                                    DBusMessage *shown, void (*resume)(ConnectionPair *))
{
    if (!pair->config->policy)
        return POLICY_FORWARD;
    PairPolicy *state = pair_policy_get(pair);
    const bool resumed = pair_policy_resumed(&state->from_bus, message);
    switch (dbus_message_get_type(message)) {
    case DBUS_MESSAGE_TYPE_METHOD_RETURN:
    case DBUS_MESSAGE_TYPE_ERROR:
        return is(dbus_message_get_sender(message), DBUS_SERVICE_DBUS)
                   ? bus_reply(pair, state, message, shown)
                   : POLICY_FORWARD;
    case DBUS_MESSAGE_TYPE_METHOD_CALL:
        // Host programs reach the client's objects; the client may answer
        // once and call back.
        if (const char *sender = dbus_message_get_sender(message))
            pair_policy_called(state, sender, dbus_message_get_serial(message),
                               !dbus_message_get_no_reply(message));
        return POLICY_FORWARD;
    case DBUS_MESSAGE_TYPE_SIGNAL:
        return signal(pair, state, message, shown, resumed, resume);
    default:
        return POLICY_FORWARD;
    }
}
