#include "relay/server_filter.h"

#include "audit/audit.h"
#include "log/log.h"
#include "namespace/lookups.h"
#include "namespace/owned_names.h"
#include "panel/tracking.h"
#include "policy/server_side.h"
#include "relay/accept.h"
#include "relay/forward.h"
#include "session/bus_open.h"
#include "util/dbus_ptr.h"
#include "util/message.h"

#include <glib.h>

#include <cstring>

namespace {

bool str_equal(const char *a, const char *b)
{
    return a && b && std::strcmp(a, b) == 0;
}

bool from_bus_driver(DBusMessage *message)
{
    return str_equal(dbus_message_get_sender(message), DBUS_SERVICE_DBUS);
}

// Only calls addressed to the client are its to answer; a client that
// monitors or eavesdrops receives copies of other programs' calls too.
bool addressed_to_client(ConnectionPair *pair, DBusMessage *call)
{
    const char *destination = dbus_message_get_destination(call);
    if (!destination)
        return false;
    if (str_equal(destination, dbus_bus_get_unique_name(pair->server)))
        return true;
    return pair->client_names && g_hash_table_contains(pair->client_names, destination);
}

// The bus greets every new connection with NameAcquired for its unique
// name; the client's own Hello was answered by the daemon, and it never saw
// this signal when it came before that answer.
bool is_own_name_greeting(ConnectionPair *pair, DBusMessage *message)
{
    if (pair->own_name_seen ||
        !dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameAcquired") ||
        !from_bus_driver(message))
        return false;
    const char *name = first_string_arg(message);
    if (!str_equal(name, dbus_bus_get_unique_name(pair->server)))
        return false;
    pair->own_name_seen = 1;
    return true;
}

// One message for a greeted client. False when it must wait for a
// process-id query: the caller holds it.
bool server_dispatch(ConnectionPair *pair, DBusMessage *message)
{
    // Judged as the client will see it: a namespaced instance shown under
    // its plain name is seen under that name.
    DBusMessage *translated = nullptr;
    if (translate_from_bus(pair, message, &translated) == LOOKUPS_DROP)
        return true;
    MessagePtr replacement(translated);
    DBusMessage *shown = replacement ? replacement.get() : message;
    const bool withheld = policy_server_message(pair, message, shown) == POLICY_HANDLED;
    audit_bus_message(pair, message, withheld);
    if (withheld)
        return true;
    owned_names_note_from_bus(pair, message);
    if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL &&
        str_equal(dbus_message_get_member(message), "GetAll") &&
        addressed_to_client(pair, message) &&
        track_panel_call(pair, message, relay_release_held_from_bus) == 1)
        return false;
    relay_forward_or_disconnect(pair, pair->client, shown);
    return true;
}

} // namespace

DBusHandlerResult server_message_filter(DBusConnection *connection, DBusMessage *message,
                                        void *data)
{
    auto *pair = static_cast<ConnectionPair *>(data);
    if (!pair->client)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const LogContainerScope named(pair->config->container_name);

    const int type = dbus_message_get_type(message);

    // The host bus dropped this pair's connection (bus gone, or a bus limit
    // hit by this client). End this pair only: closing the client makes its
    // own Disconnected release the pair. Local messages never go on the wire.
    if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
        // Every client at once when the bus goes: one line a second.
        static LogLimit lost;
        LOG_LIMITED(&lost, LOG_LEVEL_WARN,
                    "[SERVICE:]Lost the connection to the %s bus, closing its client\n",
                    pair->config->use_system_bus ? "system" : "session");
        pair_close(pair);
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    if (pair->state == PAIR_OPENING && bus_is_hello_reply(message, pair->bus_hello)) {
        pair_bus_hello_answered(pair, message);
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    const bool greeting = is_own_name_greeting(pair, message);
    if (!pair->hello_done || greeting) {
        LOG_TRACE("[SERVICE:]Drop message before client Hello: type='%d' member='%s'\n",
                  dbus_message_get_type(message), or_null(dbus_message_get_member(message)));
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    if (pair->config->trace) {
        g_print("[SERVICE:]pair.server = %p,pair.client = %p\n", static_cast<void *>(connection),
                static_cast<void *>(pair->client));
        g_print("[SERVICE:]New message from server: sender='%s',type='%d' path='%s' iface='%s' "
                "member='%s', dest='%s'\n",
                or_null(dbus_message_get_sender(message)), type,
                or_null(dbus_message_get_path(message)),
                or_null(dbus_message_get_interface(message)),
                or_null(dbus_message_get_member(message)),
                or_null(dbus_message_get_destination(message)));
    }

    // Behind a held message everything waits, so the client sees the bus's
    // order.
    if (!g_queue_is_empty(&pair->held_from_bus) || !server_dispatch(pair, message))
        g_queue_push_tail(&pair->held_from_bus, dbus_message_ref(message));
    return DBUS_HANDLER_RESULT_HANDLED;
}

void relay_release_held_from_bus(ConnectionPair *pair)
{
    // The head is the call whose caller was just named.
    if (auto *head = static_cast<DBusMessage *>(g_queue_pop_head(&pair->held_from_bus))) {
        relay_forward_or_disconnect(pair, pair->client, head);
        dbus_message_unref(head);
    }
    while (auto *message = static_cast<DBusMessage *>(g_queue_peek_head(&pair->held_from_bus))) {
        if (!server_dispatch(pair, message))
            return;
        g_queue_pop_head(&pair->held_from_bus);
        dbus_message_unref(message);
    }
}
