// What the client may send: the policy's half of the client-side filter.
#include "policy/client_side.h"

#include "log/escape.h"
#include "log/log.h"
#include "policy/names.h"
#include "policy/owners.h"
#include "util/dbus_ptr.h"
#include "util/match_rule.h"
#include "util/message.h"

#include <glib.h>

#include <cstring>

namespace {

bool is(const char *a, const char *b)
{
    return a && std::strcmp(a, b) == 0;
}

// A burst of refused messages must not flood the log: at most 10 lines a
// second, whatever their kind.
bool refusal_log_allowed()
{
    static gint64 window = 0;
    static unsigned lines = 0;
    const gint64 now = g_get_monotonic_time() / G_USEC_PER_SEC;
    if (now != window) {
        window = now;
        lines = 0;
    }
    return ++lines <= 10;
}

void answer(ConnectionPair *pair, DBusMessage *call, DBusMessage *reply)
{
    if (!reply || dbus_message_get_no_reply(call))
        return;
    // Answered on the bus's behalf, as the bus would answer.
    dbus_message_set_sender(reply, DBUS_SERVICE_DBUS);
    dbus_connection_send(pair->client, reply, nullptr);
}

const char *self_name(ConnectionPair *pair)
{
    return or_null(dbus_bus_get_unique_name(pair->server));
}

PolicyVerdict refuse(ConnectionPair *pair, DBusMessage *call)
{
    const char *destination = dbus_message_get_destination(call);
    const char *member = dbus_message_get_member(call);
    LOG_IF(refusal_log_allowed(), LOG_LEVEL_WARN,
           "[CLIENT:]Access policy refused a call from %s to %s, member %s\n", self_name(pair),
           log_escape(destination).c_str(), log_escape(member).c_str());
    MessagePtr error(dbus_message_new_error_printf(
        call, DBUS_ERROR_ACCESS_DENIED, "The proxy's access policy does not allow %s on %s",
        or_null(member), or_null(destination)));
    answer(pair, call, error.get());
    return POLICY_HANDLED;
}

PolicyVerdict drop(ConnectionPair *pair, DBusMessage *message, const char *what)
{
    LOG_IF(refusal_log_allowed(), LOG_LEVEL_WARN,
           "[CLIENT:]Access policy dropped %s from %s to %s: %s\n",
           dbus_message_type_to_string(dbus_message_get_type(message)), self_name(pair),
           log_escape(dbus_message_get_destination(message)).c_str(), what);
    return POLICY_HANDLED;
}

// The answer the bus gives for a name that has no owner.
PolicyVerdict answer_missing(ConnectionPair *pair, DBusMessage *call, const char *member,
                             const char *name)
{
    MessagePtr reply;
    if (is(member, "NameHasOwner")) {
        reply.reset(dbus_message_new_method_return(call));
        dbus_bool_t no = FALSE;
        if (reply && !dbus_message_append_args(reply.get(), DBUS_TYPE_BOOLEAN, &no,
                                               DBUS_TYPE_INVALID))
            reply.reset();
    } else if (is(member, "StartServiceByName")) {
        reply.reset(dbus_message_new_error_printf(
            call, DBUS_ERROR_SERVICE_UNKNOWN,
            "The name %s was not provided by any .service files", name));
    } else {
        reply.reset(dbus_message_new_error_printf(call, DBUS_ERROR_NAME_HAS_NO_OWNER,
                                                  "Could not get owner of name '%s': no such name",
                                                  name));
    }
    answer(pair, call, reply.get());
    return POLICY_HANDLED;
}

// What a judgement needs besides the message: whether it is back from a
// wait for the tracker, and how to hand it back after one.
struct Judging {
    ConnectionPair *pair;
    PairPolicy *state;
    bool resumed;
    void (*resume)(ConnectionPair *);
};

// A decision that depends on the tracker's word about a unique name, and
// the word is no: a client may have learnt the name on its own connection
// (an answer to GetNameOwner, a change it subscribed to) a moment before
// the tracker learns it on its own. Held, not refused: the message (and
// the client's later ones behind it, in the relay) waits for one round
// trip of the tracker's connection, at most overrides.policy_owner_wait_ms,
// and is judged again, once, with what the tracker then knows. The
// client's connection never teaches the tracker anything. Without a round
// trip to wait for (no bus), it is refused at once.
bool wait_for_tracker(const Judging &j, DBusMessage *message)
{
    return !j.resumed && pair_policy_wait(&j.state->from_client, message, j.resume);
}

// The bus's answer to a RequestName past the names a client may own.
PolicyVerdict refuse_name(ConnectionPair *pair, DBusMessage *call, const char *name)
{
    LOG_IF(refusal_log_allowed(), LOG_LEVEL_WARN,
           "[CLIENT:]Access policy refused %s the name %s: it owns %zu names already\n",
           self_name(pair), name, POLICY_MAX_OWNED_NAMES);
    MessagePtr error(dbus_message_new_error_printf(
        call, DBUS_ERROR_LIMITS_EXCEEDED,
        "Connection \"%s\" is not allowed to own more than %zu names", self_name(pair),
        POLICY_MAX_OWNED_NAMES));
    answer(pair, call, error.get());
    return POLICY_HANDLED;
}

bool owns(ConnectionPair *pair, const char *name)
{
    return pair->client_names && g_hash_table_contains(pair->client_names, name);
}

// Whether a forwarded bus call may go, and what its reply will need.
PolicyVerdict judge_driver_call(const Judging &j, DBusMessage *call, BusCall *record)
{
    ConnectionPair *pair = j.pair;
    PairPolicy *state = j.state;
    const char *member = dbus_message_get_member(call);
    // gdbus introspects the bus before it calls it; the answer describes
    // the bus's interface, nothing of anyone else.
    const char *interface = dbus_message_get_interface(call);
    if (is(interface, DBUS_INTERFACE_PEER) || is(interface, DBUS_INTERFACE_INTROSPECTABLE) ||
        is(member, "GetId"))
        return POLICY_FORWARD;
    if (is(member, "AddMatch") || is(member, "RemoveMatch")) {
        const char *rule = first_string_arg(call);
        if (!rule)
            return POLICY_FORWARD; // the bus answers a malformed call
        // What cannot be read here cannot be shown not to eavesdrop.
        MatchRule read;
        if (is(member, "AddMatch") &&
            (match_rule_read(rule, &read) || match_rule_eavesdrops(read)))
            return refuse(pair, call);
        return POLICY_FORWARD;
    }
    if (is(member, "ListNames") || is(member, "ListActivatableNames")) {
        record->kind = is(member, "ListNames") ? BUS_CALL_LIST_NAMES : BUS_CALL_LIST_ACTIVATABLE;
        return POLICY_FORWARD;
    }
    const bool ownership = is(member, "RequestName") || is(member, "ReleaseName");
    if (!ownership && !policy_is_name_query(member))
        return refuse(pair, call);
    const char *name = first_string_arg(call);
    if (!name)
        return POLICY_FORWARD; // the bus answers a malformed call
    if (ownership) {
        if (policy_level(pair->config->policy, name) < POLICY_OWN)
            return refuse(pair, call);
        if (is(member, "RequestName") && !owns(pair, name)) {
            const size_t owned = pair->client_names ? g_hash_table_size(pair->client_names) : 0;
            if (owned + state->name_requests >= POLICY_MAX_OWNED_NAMES)
                return refuse_name(pair, call, name);
            record->kind = BUS_CALL_REQUEST_NAME;
        }
        return POLICY_FORWARD;
    }
    if (!policy_name_visible(pair, state, name)) {
        if (name[0] == ':' && wait_for_tracker(j, call))
            return POLICY_WAIT;
        return answer_missing(pair, call, member, name);
    }
    // Its answer names an owner that the tracker may not know yet.
    if (is(member, "GetNameOwner") && name[0] != ':')
        record->kind = BUS_CALL_NAME_OWNER;
    return POLICY_FORWARD;
}

PolicyVerdict driver_call(const Judging &j, DBusMessage *call)
{
    ConnectionPair *pair = j.pair;
    PairPolicy *state = j.state;
    if (is(dbus_message_get_member(call), "Hello"))
        return POLICY_FORWARD; // answered by the daemon, never sent on
    const uint32_t serial = dbus_message_get_serial(call);
    // A reply is matched to its call by serial: two calls under one serial
    // would let the first answer stand for the second.
    if (state->bus_calls.count(serial) || state->bus_calls.size() >= POLICY_MAX_BUS_CALLS)
        return refuse(pair, call);
    BusCall record;
    if (const PolicyVerdict verdict = judge_driver_call(j, call, &record); verdict != POLICY_FORWARD)
        return verdict;
    // The bus answers most calls whatever the flag says, and acknowledges
    // the others only without it: asked always, so that every call has
    // exactly one reply, and acknowledgements the client did not want are
    // dropped.
    if (dbus_message_get_no_reply(call)) {
        dbus_message_set_no_reply(call, FALSE);
        const char *member = dbus_message_get_member(call);
        record.swallow = is(member, "AddMatch") || is(member, "RemoveMatch") || is(member, "Ping");
    }
    state->name_requests += record.kind == BUS_CALL_REQUEST_NAME;
    state->bus_calls.emplace(serial, record);
    return POLICY_FORWARD;
}

PolicyVerdict method_call(const Judging &j, DBusMessage *message)
{
    ConnectionPair *pair = j.pair;
    PairPolicy *state = j.state;
    const PolicyRules *rules = pair->config->policy;
    const char *destination = dbus_message_get_destination(message);
    if (!destination)
        return refuse(pair, message);
    if (std::strcmp(destination, DBUS_SERVICE_DBUS) == 0)
        return driver_call(j, message);

    const char *interface = dbus_message_get_interface(message);
    const char *member = dbus_message_get_member(message);
    const char *path = dbus_message_get_path(message);
    if (destination[0] == ':') {
        if (state->callers.count(destination) || is(destination, self_name(pair)) ||
            grant_allows_call(owners_unique_grant(rules, destination), interface, member, path,
                              message))
            return POLICY_FORWARD;
        return wait_for_tracker(j, message) ? POLICY_WAIT : refuse(pair, message);
    }
    // The rules never change: a name found talkable stays so, and clients
    // mostly call the same service again.
    if (state->talkable == destination)
        return POLICY_FORWARD;
    const NameGrant grant = policy_lookup(rules, destination);
    if (grant.level >= POLICY_TALK)
        state->talkable = destination;
    return grant_allows_call(grant, interface, member, path, message) ? POLICY_FORWARD
                                                                      : refuse(pair, message);
}

// An answer goes only to a call that the bus delivered to this client and
// that it has not answered yet: anything else could pass for another
// service's answer to a host program.
PolicyVerdict answer_call(ConnectionPair *pair, PairPolicy *state, DBusMessage *message)
{
    const char *destination = dbus_message_get_destination(message);
    if (destination &&
        pair_policy_take_answer(state, destination, dbus_message_get_reply_serial(message)))
        return POLICY_FORWARD;
    return drop(pair, message, "it answers no call of that peer");
}

// A broadcast is for whoever subscribed; a signal with a destination is a
// message to that peer, allowed as a call to it would be.
PolicyVerdict signal(const Judging &j, DBusMessage *message)
{
    ConnectionPair *pair = j.pair;
    const char *destination = dbus_message_get_destination(message);
    if (!destination)
        return POLICY_FORWARD;
    const PolicyRules *rules = pair->config->policy;
    if (destination[0] != ':')
        return policy_level(rules, destination) >= POLICY_TALK
                   ? POLICY_FORWARD
                   : drop(pair, message, "the policy does not allow talking to it");
    if (j.state->callers.count(destination) || is(destination, self_name(pair)) ||
        owners_unique_grant(rules, destination).level >= POLICY_TALK)
        return POLICY_FORWARD;
    if (wait_for_tracker(j, message))
        return POLICY_WAIT;
    return drop(pair, message, "the policy does not allow talking to it");
}

} // namespace

PolicyVerdict policy_client_message(ConnectionPair *pair, DBusMessage *message,
                                    void (*resume)(ConnectionPair *))
{
    if (!pair->config->policy)
        return POLICY_FORWARD;
    PairPolicy *state = pair_policy_get(pair);
    const Judging j{pair, state, pair_policy_resumed(&state->from_client, message), resume};
    switch (dbus_message_get_type(message)) {
    case DBUS_MESSAGE_TYPE_METHOD_CALL:
        return method_call(j, message);
    case DBUS_MESSAGE_TYPE_METHOD_RETURN:
    case DBUS_MESSAGE_TYPE_ERROR:
        return answer_call(pair, state, message);
    case DBUS_MESSAGE_TYPE_SIGNAL:
        return signal(j, message);
    default:
        return POLICY_FORWARD;
    }
}

bool policy_is_name_query(const char *member)
{
    static const char *const queries[] = {
        "GetNameOwner", "NameHasOwner", "StartServiceByName", "GetConnectionUnixUser",
        "GetConnectionUnixProcessID", "GetConnectionCredentials", "ListQueuedOwners",
        "GetAdtAuditSessionData", "GetConnectionSELinuxSecurityContext",
    };
    for (const char *query : queries)
        if (is(member, query))
            return true;
    return false;
}
