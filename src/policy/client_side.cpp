// What the client may send: the policy's half of the client-side filter.
#include "policy/client_side.h"

#include "log/log.h"
#include "policy/names.h"
#include "util/dbus_ptr.h"
#include "util/message.h"

#include <glib.h>

#include <cstring>

namespace {

bool is(const char *a, const char *b)
{
    return a && std::strcmp(a, b) == 0;
}

// A burst of refused calls must not flood the log: at most 10 lines a second.
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

PolicyVerdict refuse(ConnectionPair *pair, DBusMessage *call)
{
    const char *self = dbus_bus_get_unique_name(pair->server);
    const char *destination = dbus_message_get_destination(call);
    const char *member = dbus_message_get_member(call);
    LOG_IF(refusal_log_allowed(), LOG_LEVEL_WARN,
           "[CLIENT:]Access policy refused a call from %s to %s, member %s\n", or_null(self),
           or_null(destination), or_null(member));
    MessagePtr error(dbus_message_new_error_printf(
        call, DBUS_ERROR_ACCESS_DENIED, "The proxy's access policy does not allow %s on %s",
        or_null(member), or_null(destination)));
    answer(pair, call, error.get());
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

bool is_name_query(const char *member)
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

PolicyVerdict match_call(ConnectionPair *pair, PairPolicy *state, DBusMessage *call, bool add)
{
    const char *rule = first_string_arg(call);
    if (!rule)
        return POLICY_FORWARD; // the bus answers a malformed call
    MatchPairs pairs;
    // What cannot be read here cannot be shown not to eavesdrop.
    if (!match_rule_parse(rule, &pairs) || (add && match_rule_eavesdrops(pairs)))
        return refuse(pair, call);
    OwnerChangeMatch match;
    if (owner_change_match_from(pairs, &match)) {
        auto &matches = state->owner_matches;
        if (add) {
            matches.push_back(match);
        } else {
            for (auto it = matches.begin(); it != matches.end(); ++it)
                if (*it == match) {
                    matches.erase(it);
                    break;
                }
        }
    }
    return POLICY_FORWARD;
}

PolicyVerdict driver_call(ConnectionPair *pair, PairPolicy *state, DBusMessage *call)
{
    const char *member = dbus_message_get_member(call);
    if (is(member, "Hello")) {
        pair_policy_start(pair, state);
        return POLICY_FORWARD;
    }
    if (is(dbus_message_get_interface(call), DBUS_INTERFACE_PEER) || is(member, "GetId"))
        return POLICY_FORWARD;
    if (is(member, "AddMatch") || is(member, "RemoveMatch"))
        return match_call(pair, state, call, is(member, "AddMatch"));
    if (is(member, "ListNames") || is(member, "ListActivatableNames")) {
        if (!dbus_message_get_no_reply(call))
            state->list_calls[dbus_message_get_serial(call)] =
                is(member, "ListNames") ? LIST_NAMES : LIST_ACTIVATABLE;
        return POLICY_FORWARD;
    }
    const bool ownership = is(member, "RequestName") || is(member, "ReleaseName");
    if (!ownership && !is_name_query(member))
        return refuse(pair, call);
    const char *name = first_string_arg(call);
    if (!name)
        return POLICY_FORWARD; // the bus answers a malformed call
    if (ownership)
        return policy_level(pair->config->policy, name) >= POLICY_OWN ? POLICY_FORWARD
                                                                      : refuse(pair, call);
    if (policy_name_visible(pair, state, name)) {
        // Its answer teaches the owner of a name covered by a prefix rule
        // before the daemon's own query returns.
        if (is(member, "GetNameOwner") && name[0] != ':' && !dbus_message_get_no_reply(call))
            state->owner_calls[dbus_message_get_serial(call)] = name;
        return POLICY_FORWARD;
    }
    return answer_missing(pair, call, member, name);
}

} // namespace

PolicyVerdict policy_client_message(ConnectionPair *pair, DBusMessage *message)
{
    const PolicyRules *rules = pair->config->policy;
    if (!rules || dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return POLICY_FORWARD;
    PairPolicy *state = pair_policy_get(pair);

    const char *destination = dbus_message_get_destination(message);
    if (!destination)
        return refuse(pair, message);
    if (std::strcmp(destination, DBUS_SERVICE_DBUS) == 0)
        return driver_call(pair, state, message);

    const char *interface = dbus_message_get_interface(message);
    const char *member = dbus_message_get_member(message);
    const char *path = dbus_message_get_path(message);
    if (destination[0] == ':') {
        if (state->callers.count(destination))
            return POLICY_FORWARD;
        const char *self = dbus_bus_get_unique_name(pair->server);
        if (self && std::strcmp(self, destination) == 0)
            return POLICY_FORWARD;
        NameGrant grant = pair_policy_unique_grant(rules, state, destination);
        return grant_allows_call(grant, interface, member, path) ? POLICY_FORWARD
                                                                 : refuse(pair, message);
    }
    return grant_allows_call(policy_lookup(rules, destination), interface, member, path)
               ? POLICY_FORWARD
               : refuse(pair, message);
}
