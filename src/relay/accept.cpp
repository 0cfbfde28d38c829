#include "relay/accept.h"

#include "audit/audit.h"
#include "log/log.h"
#include "loop/loop.h"
#include "namespace/lookups.h"
#include "namespace/owned_names.h"
#include "panel/adapt.h"
#include "policy/names.h"
#include "policy/owners.h"
#include "relay/client_filter.h"
#include "relay/forward.h"
#include "relay/server_filter.h"
#include "session/bus_open.h"
#include "session/registry.h"
#include "util/overrides.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <string>

namespace {

const char *bus_kind(const ConnectionPair *pair)
{
    return pair->config->use_system_bus ? "system" : "session";
}

// With the bus down every client fails alike: one line a second tells it.
LogLimit open_failures;

void fail_to_open(ConnectionPair *pair, const char *why)
{
    LOG_LIMITED(&open_failures, LOG_LEVEL_FATAL, "Failed to open connection to %s bus: %s\n",
                bus_kind(pair), why);
    pair_close(pair);
}

// Every relayed message is a write of its own; Nagle's algorithm would hold
// the next one back until the client acknowledges the last.
void disable_nagle(DBusConnection *connection)
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

// A stuck peer makes libdbus stop reading from the other side instead of
// the daemon growing: what was read but not yet written counts here.
void apply_back_pressure(DBusConnection *connection)
{
    dbus_connection_set_max_received_size(connection, 2 * overrides.relay_max_queued_bytes);
    dbus_connection_set_max_received_unix_fds(connection, 2 * overrides.relay_max_queued_fds);
}

// As long as libdbus waits for a reply by default.
constexpr guint bus_hello_timeout_ms = 25000;

gboolean on_bus_hello_timeout(gpointer data)
{
    auto *pair = static_cast<ConnectionPair *>(data);
    const LogContainerScope named(pair->config->container_name);
    pair->timer = 0;
    fail_to_open(pair, "no reply to Hello");
    return G_SOURCE_REMOVE;
}

} // namespace

void pair_client_spoke(ConnectionPair *pair)
{
    pair_stop_waiting(pair);
    pair->state = PAIR_OPENING;
    // After a lost bus, the first client on the new one subscribes anew.
    owners_start(pair->config);

    std::string error;
    DBusConnection *server =
        bus_open_async(pair->config->use_system_bus, &pair->bus_hello, &error);
    if (!server) {
        fail_to_open(pair, error.c_str());
        return;
    }
    pair->server = server;
    // Peer calls (Ping, GetMachineId) belong to the far end, not to us.
    dbus_connection_set_route_peer_messages(server, TRUE);
    apply_back_pressure(server);
    pair->server_filtered =
        dbus_connection_add_filter(server, server_message_filter, pair, nullptr);
    if (!pair->server_filtered) {
        fail_to_open(pair, "out of memory");
        return;
    }
    pair->timer = g_timeout_add(bus_hello_timeout_ms, on_bus_hello_timeout, pair);
}

void pair_bus_hello_answered(ConnectionPair *pair, DBusMessage *reply)
{
    if (pair->timer)
        g_source_remove(pair->timer);
    pair->timer = 0;
    pair->bus_hello = 0;
    std::string error;
    if (!bus_take_hello_reply(reply, pair->server, &error)) {
        fail_to_open(pair, error.c_str());
        return;
    }
    pair->state = PAIR_READY;
    relay_release_held_from_client(pair);
}

void pair_free(ConnectionPair *pair)
{
    // Records name the pair; a later pair at the same address must not
    // inherit them.
    audit_pair_end(pair);
    forget_panel_calls(pair);
    owned_names_forget_pair(pair);
    lookups_free(pair);
    pair_policy_free(pair->policy);
    pair->policy = nullptr;
    if (pair->client && pair->client_filtered)
        dbus_connection_remove_filter(pair->client, client_message_filter, pair);
    if (pair->server && pair->server_filtered)
        dbus_connection_remove_filter(pair->server, server_message_filter, pair);
    relay_forget_queues(pair);
    ProxyConfig *config = pair->config;
    pair_release(pair);
    if (config)
        config_client_left(config);
}

dbus_bool_t allow_any_unix_user(DBusConnection *, unsigned long, void *)
{
    return TRUE;
}

void on_new_connection(DBusServer *, DBusConnection *connection, void *data)
{
    auto *config = static_cast<ProxyConfig *>(data);
    const LogContainerScope named(config->container_name);

    LOG_IF(config->trace, LOG_LEVEL_INFO, "New connection\n");

    // A container at its client limit: closed before anything is read, so
    // that one container cannot take every descriptor of the daemon.
    if (config->max_clients > 0 && config->clients >= config->max_clients) {
        static LogLimit refused;
        LOG_LIMITED(&refused, LOG_LEVEL_WARN,
                    "The container has %u clients, its limit: refusing a new connection\n",
                    config->clients);
        dbus_connection_close(connection);
        return;
    }

    pair_make_room_for_silent();
    ConnectionPair *pair = pair_new(connection);
    if (!pair)
        return;
    pair->config = config;
    config_client_came(config);

    disable_nagle(connection);
    apply_back_pressure(connection);
    dbus_connection_set_route_peer_messages(connection, TRUE);
    dbus_connection_set_unix_user_function(connection, allow_any_unix_user, nullptr, nullptr);
    dbus_connection_set_allow_anonymous(connection, TRUE);
    pair->client_filtered =
        dbus_connection_add_filter(connection, client_message_filter, pair, nullptr);
    if (!pair->client_filtered) {
        // Without its filter the client could never be served or released.
        pair_free(pair);
        return;
    }
    pair_await_first_message(pair);
    if (!loop_attach_connection(connection)) {
        pair_free(pair);
        return;
    }
    pair_registry_add(pair);
}
