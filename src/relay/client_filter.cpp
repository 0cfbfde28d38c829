#include "relay/client_filter.h"

#include "audit/audit.h"
#include "log/log.h"
#include "namespace/lookups.h"
#include "namespace/owned_names.h"
#include "namespace/rewrite.h"
#include "panel/adapt.h"
#include "policy/client_side.h"
#include "relay/accept.h"
#include "relay/forward.h"
#include "relay/in_flight.h"
#include "util/dbus_ptr.h"

#include <glib.h>

#include <cstring>

namespace {

bool str_equal(const char *a, const char *b)
{
    return a && b && std::strcmp(a, b) == 0;
}

void client_disconnected(ConnectionPair *pair)
{
    LOG_INFO("[CLIENT:][%s]connection was disconnected\n",
             pair->owned_name ? pair->owned_name : "NULL");
    pair_free(pair);
}

// Hello as the bus itself recognises it: on any path, with its interface
// or none. Under another interface it goes to the bus, which refuses it.
bool is_hello(DBusMessage *message)
{
    const char *interface = dbus_message_get_interface(message);
    return str_equal(dbus_message_get_member(message), "Hello") &&
           (!interface || std::strcmp(interface, DBUS_INTERFACE_DBUS) == 0);
}

void send_reply(ConnectionPair *pair, MessagePtr reply)
{
    static LogLimit failures;
    if (reply && !dbus_connection_send(pair->client, reply.get(), nullptr))
        LOG_LIMITED(&failures, LOG_LEVEL_WARN, "[CLIENT:]Cannot answer the client: out of memory\n");
}

// A call with no destination is the bus connection's own business: before
// Hello the bus would let it fall to libdbus, which answers that the method
// does not exist, and so does the proxy (the bus's answer could not reach a
// client not yet greeted). Peer calls still go to the bus.
bool answer_undirected_before_hello(ConnectionPair *pair, DBusMessage *call)
{
    if (pair->hello_done || dbus_message_has_interface(call, DBUS_INTERFACE_PEER))
        return false;
    if (dbus_message_get_no_reply(call))
        return true;
    const char *interface = dbus_message_get_interface(call);
    send_reply(pair, MessagePtr(dbus_message_new_error_printf(
                         call, DBUS_ERROR_UNKNOWN_METHOD,
                         "Method \"%s\" with signature \"%s\" on interface \"%s\" doesn't exist\n",
                         or_null(dbus_message_get_member(call)),
                         dbus_message_get_signature(call), interface ? interface : "(null)")));
    return true;
}

// One message from a client whose bus connection is ready.
void client_dispatch(ConnectionPair *pair, DBusMessage *message)
{
    const int type = dbus_message_get_type(message);
    MessagePtr replacement;

    // Decided on the name the client wrote, before any namespacing.
    audit_client_message(pair, message);
    if (policy_client_message(pair, message) == POLICY_HANDLED) {
        if (type == DBUS_MESSAGE_TYPE_METHOD_CALL)
            audit_refused(pair, message);
        return;
    }

    switch (type) {
    case DBUS_MESSAGE_TYPE_METHOD_CALL:
        if (str_equal(dbus_message_get_destination(message), DBUS_SERVICE_DBUS)) {
            if (is_hello(message)) {
                reply_to_hello(pair, message);
                return;
            }
            // Every other bus call goes to the host bus, names perhaps translated.
            replacement.reset(translate_bus_call(pair, message));
            if (replacement)
                message = replacement.get();
            if (str_equal(dbus_message_get_member(message), "RequestName"))
                owned_names_note_request(pair, message);
            break;
        }
        // A call without a destination goes to the bus as it would directly.
        if (!dbus_message_get_destination(message)) {
            if (answer_undirected_before_hello(pair, message))
                return;
        } else if (rewrite_destination(pair, message) != 0) {
            return;
        }
        break;
    case DBUS_MESSAGE_TYPE_METHOD_RETURN:
        if (adapt_panel_reply(pair, message) == 1) {
            in_flight_reply_seen(pair, pair->server, message); // a substitute went instead
            return;
        }
        break;
    case DBUS_MESSAGE_TYPE_ERROR:
        panel_call_failed(pair, message);
        break;
    default:
        break;
    }

    relay_forward_or_disconnect(pair, pair->server, message);
}

} // namespace

int reply_to_hello(ConnectionPair *pair, DBusMessage *hello)
{
    if (pair->hello_done) {
        // As the bus: one Hello per connection.
        MessagePtr error(dbus_message_new_error(hello, DBUS_ERROR_FAILED,
                                                "Already handled an Hello message"));
        if (error && !dbus_message_set_sender(error.get(), DBUS_SERVICE_DBUS))
            error.reset();
        send_reply(pair, std::move(error));
        return -1;
    }
    const char *unique_name = dbus_bus_get_unique_name(pair->server);
    if (!unique_name) {
        LOG_WARN("Cannot reply to Hello message as oom of new unique name\n");
        return -1;
    }
    MessagePtr reply(dbus_message_new_method_return(hello));
    if (!reply) {
        LOG_WARN("Cannot reply to Hello message as oom of new message\n");
        return -1;
    }
    if (!dbus_message_append_args(reply.get(), DBUS_TYPE_STRING, &unique_name,
                                  DBUS_TYPE_INVALID)) {
        LOG_WARN("Cannot reply to Hello message as oom of new args\n");
        return -1;
    }
    int result = dbus_connection_send(pair->client, reply.get(), nullptr) ? 0 : -1;
    if (result == 0)
        pair->hello_done = 1;
    LOG_IF(pair->config->verbose, LOG_LEVEL_TRACE,
           "[CLIENT:]Hello received and unique name %s is assigned, notify client %s\n",
           unique_name, result == 0 ? "SUCCEED" : "FAILED");
    return result;
}

DBusHandlerResult client_message_filter(DBusConnection *, DBusMessage *message, void *data)
{
    auto *pair = static_cast<ConnectionPair *>(data);
    const LogContainerScope named(pair->config->container_name);

    if (pair->config->trace) {
        g_print("[CLIENT:]pair.server = %p,pair.client = %p\n", static_cast<void *>(pair->server),
                static_cast<void *>(pair->client));
        g_print("[CLIENT:]New message from client: type='%d' path='%s' iface='%s',member='%s',"
                "dest='%s'\n",
                dbus_message_get_type(message), or_null(dbus_message_get_path(message)),
                or_null(dbus_message_get_interface(message)),
                or_null(dbus_message_get_member(message)),
                or_null(dbus_message_get_destination(message)));
    }

    if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
        client_disconnected(pair);
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    switch (pair->state) {
    case PAIR_AUTHENTICATING:
        pair_client_spoke(pair);
        [[fallthrough]];
    case PAIR_OPENING:
        // Counted against the client's receive limit while held, so a client
        // that floods meanwhile is simply not read.
        g_queue_push_tail(&pair->held_from_client, dbus_message_ref(message));
        break;
    case PAIR_READY:
        client_dispatch(pair, message);
        break;
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

void relay_release_held_from_client(ConnectionPair *pair)
{
    while (auto *message = static_cast<DBusMessage *>(g_queue_pop_head(&pair->held_from_client))) {
        client_dispatch(pair, message);
        dbus_message_unref(message);
    }
}
