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
            if (str_equal(dbus_message_get_member(message), "Hello")) {
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
        if (dbus_message_get_destination(message) && rewrite_destination(pair, message) != 0)
            return;
        break;
    case DBUS_MESSAGE_TYPE_METHOD_RETURN:
        if (adapt_panel_reply(pair, message) == 1)
            return;
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
