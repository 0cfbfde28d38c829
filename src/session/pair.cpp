#include "session/pair.h"

#include "log/log.h"
#include "loop/loop.h"
#include "panel/panel.h"
#include "relay/relay.h"
#include "util/dbus_ptr.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

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

// Every relayed message is a write of its own; Nagle's algorithm would hold
// the next one back until the client acknowledges the last.
static void disable_nagle(DBusConnection *connection)
{
    int fd = -1;
    if (!dbus_connection_get_socket(connection, &fd))
        return;
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        (addr.ss_family != AF_INET && addr.ss_family != AF_INET6))
        return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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
    ScopedError error;
    DBusConnection *server = dbus_bus_get_private(
        config->use_system_bus ? DBUS_BUS_SYSTEM : DBUS_BUS_SESSION, error.get());
    if (!server || !loop_attach_connection(server)) {
        LOG_FATAL("Failed to open connection to %s bus: %s\n", bus_name,
                  server ? "out of memory" : or_null(error.message()));
        if (server) {
            dbus_connection_close(server);
            dbus_connection_unref(server);
        }
        std::free(pair);
        return;
    }

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
    disable_nagle(connection);
    loop_attach_connection(connection);
    dbus_connection_set_route_peer_messages(connection, TRUE);
    if (!dbus_connection_add_filter(connection, client_message_filter, pair, nullptr)) {
        // Without its filter the client could never be served or released.
        pair_free(pair);
        return;
    }
    dbus_connection_set_unix_user_function(connection, allow_any_unix_user, nullptr, nullptr);
    dbus_connection_set_allow_anonymous(connection, TRUE);
}
