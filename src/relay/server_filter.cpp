#include "log/log.h"
#include "panel/panel.h"
#include "policy/policy.h"
#include "relay/relay.h"
#include "util/dbus_ptr.h"

#include <glib.h>

#include <cstring>

DBusHandlerResult server_message_filter(DBusConnection *connection, DBusMessage *message,
                                        void *data)
{
    auto *pair = static_cast<ConnectionPair *>(data);
    if (!pair->client)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;

    const int type = dbus_message_get_type(message);

    // The host bus dropped this pair's connection (bus gone, or a bus limit
    // hit by this client). End this pair only: closing the client makes its
    // own Disconnected release the pair. Local messages never go on the wire.
    if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
        LOG_WARN("[SERVICE:]Lost the connection to the %s bus, closing its client\n",
                 pair->config->use_system_bus ? "system" : "session");
        dbus_connection_close(pair->client);
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    if (!pair->hello_done) {
        if (log_enabled(LOG_LEVEL_TRACE))
            log_write(LOG_LEVEL_TRACE, "[SERVICE:]Drop message before client Hello: type='%d' "
                      "member='%s'\n", type, or_null(dbus_message_get_member(message)));
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

    if (policy_server_message(pair, message) == POLICY_HANDLED)
        return DBUS_HANDLER_RESULT_HANDLED;

    if (type == DBUS_MESSAGE_TYPE_METHOD_CALL) {
        const char *member = dbus_message_get_member(message);
        if (member && std::strcmp(member, "GetAll") == 0)
            track_panel_call(pair, message);
    }

    if (relay_queue_has_room(pair, pair->client,
                             "[SERVICE:]Client is not reading: %ld bytes queued for it, "
                             "disconnecting it\n"))
        relay_forward(pair->client, message);
    return DBUS_HANDLER_RESULT_HANDLED;
}
