#include "session/pair.h"

#include "log/log.h"
#include "panel/panel.h"
#include "relay/relay.h"

#include <dbus/dbus-glib-lowlevel.h>
#include <dbus/dbus-glib.h>

#include <cstdlib>

ConnectionPair *pair_new(DBusConnection *client)
{
    auto *pair = static_cast<ConnectionPair *>(std::calloc(1, sizeof(ConnectionPair)));
    if (!pair)
        return nullptr;
    pair->client = client;
    return pair;
}

void pair_free(ConnectionPair *pair)
{
    // Records name the pair; a later pair at the same address must not
    // inherit them.
    forget_panel_calls(pair);
    if (pair->client) {
        dbus_connection_close(pair->client);
        dbus_connection_unref(pair->client);
    }
    if (pair->server) {
        dbus_connection_close(pair->server);
        dbus_connection_unref(pair->server);
    }
    std::free(pair->owned_name);
    std::free(pair);
}

dbus_bool_t allow_any_unix_user(DBusConnection *, unsigned long, void *)
{
    return TRUE;
}

void on_new_connection(DBusServer *, DBusConnection *connection, void *data)
{
    auto *config = static_cast<ProxyConfig *>(data);

    if (config->trace && log_enabled(LOG_LEVEL_INFO))
        log_write(LOG_LEVEL_INFO, "New connection\n");

    ConnectionPair *pair = pair_new(connection);
    if (!pair)
        return;

    const char *bus_name = config->use_system_bus ? "system" : "session";
    GError *gerror = nullptr;
    DBusGConnection *gconn =
        dbus_g_bus_get_private(config->use_system_bus ? DBUS_BUS_SYSTEM : DBUS_BUS_SESSION,
                               nullptr, &gerror);
    if (!gconn) {
        LOG_FATAL("Failed to open connection to %s bus: %s\n", bus_name,
                  gerror ? gerror->message : "(null)");
        g_clear_error(&gerror);
        std::free(pair);
        return;
    }
    DBusConnection *server = dbus_g_connection_get_connection(gconn);

    // libdbus would _exit() the whole daemon when this one connection is
    // lost; the bus-side filter ends just this pair instead.
    dbus_connection_set_exit_on_disconnect(server, FALSE);
    // Peer calls (Ping, GetMachineId) belong to the far end, not to us.
    dbus_connection_set_route_peer_messages(server, TRUE);

    if (!dbus_connection_add_filter(server, server_message_filter, pair, nullptr)) {
        LOG_FATAL("Failed to open connection to %s bus: %s\n", bus_name, "out of memory");
        dbus_connection_close(server);
        dbus_connection_unref(server);
        std::free(pair);
        return;
    }
    pair->server = server;
    pair->config = config;

    dbus_connection_ref(connection);
    dbus_connection_setup_with_g_main(connection, nullptr);
    dbus_connection_set_route_peer_messages(connection, TRUE);
    if (!dbus_connection_add_filter(connection, client_message_filter, pair, nullptr)) {
        // Without its filter the client could never be served or released.
        pair_free(pair);
        return;
    }
    dbus_connection_set_unix_user_function(connection, allow_any_unix_user, nullptr, nullptr);
    dbus_connection_set_allow_anonymous(connection, TRUE);
}
