#include "session/pair.h"

#include "log/log.h"
#include "loop/loop.h"
#include "namespace/lookups.h"
#include "panel/panel.h"
#include "policy/policy.h"
#include "relay/relay.h"
#include "session/bus_open.h"
#include "session/registry.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string>

// The message bus's own default auth_timeout and max_incomplete_connections.
unsigned pair_idle_timeout_ms = 30000;
int pair_max_incomplete = 64;

namespace {

// Accepted clients that have not spoken yet, oldest first.
GQueue incomplete_pairs = G_QUEUE_INIT;
gint64 last_eviction_warning = 0;

const char *bus_kind(const ConnectionPair *pair)
{
    return pair->config->use_system_bus ? "system" : "session";
}

void release_queue(GQueue *queue)
{
    while (auto *message = static_cast<DBusMessage *>(g_queue_pop_head(queue)))
        dbus_message_unref(message);
}

void cancel_call(DBusPendingCall **pending)
{
    if (!*pending)
        return;
    dbus_pending_call_cancel(*pending);
    dbus_pending_call_unref(*pending);
    *pending = nullptr;
}

void stop_idle_timer(ConnectionPair *pair)
{
    if (pair->idle_timer) {
        g_source_remove(pair->idle_timer);
        pair->idle_timer = 0;
    }
    if (pair->incomplete) {
        pair->incomplete = 0;
        g_queue_remove(&incomplete_pairs, pair);
    }
}

gboolean on_idle_timeout(gpointer data)
{
    auto *pair = static_cast<ConnectionPair *>(data);
    pair->idle_timer = 0;
    if (dbus_connection_get_is_authenticated(pair->client))
        LOG_DEBUG("[CLIENT:]Client sent nothing within %u ms of authenticating, closing it\n",
                  pair_idle_timeout_ms);
    else
        LOG_DEBUG("[CLIENT:]Client did not authenticate within %u ms, closing it\n",
                  pair_idle_timeout_ms);
    pair_close(pair);
    return G_SOURCE_REMOVE;
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
    dbus_connection_set_max_received_size(connection, 2 * relay_max_queued_bytes);
    dbus_connection_set_max_received_unix_fds(connection, 2 * relay_max_queued_fds);
}

void on_bus_hello(DBusPendingCall *pending, void *data)
{
    auto *pair = static_cast<ConnectionPair *>(data);
    std::string error;
    const bool ok = bus_take_hello_reply(pending, pair->server, &error);
    dbus_pending_call_unref(pair->bus_hello);
    pair->bus_hello = nullptr;
    if (!ok) {
        LOG_FATAL("Failed to open connection to %s bus: %s\n", bus_kind(pair), error.c_str());
        pair_close(pair);
        return;
    }
    pair->state = PAIR_READY;
    relay_release_held_from_client(pair);
}

} // namespace

ConnectionPair *pair_new(DBusConnection *client)
{
    auto *pair = static_cast<ConnectionPair *>(std::calloc(1, sizeof(ConnectionPair)));
    if (!pair)
        return nullptr;
    pair->client = client ? dbus_connection_ref(client) : nullptr;
    pair->state = PAIR_AUTHENTICATING;
    g_queue_init(&pair->held_from_client);
    g_queue_init(&pair->held_from_bus);
    return pair;
}

void pair_free(ConnectionPair *pair)
{
    pair_registry_remove(pair);
    stop_idle_timer(pair);
    // Neither callback may run for a pair that is gone.
    cancel_call(&pair->bus_hello);
    cancel_call(&pair->pid_query);
    release_queue(&pair->held_from_client);
    release_queue(&pair->held_from_bus);
    // Records name the pair; a later pair at the same address must not
    // inherit them.
    forget_panel_calls(pair);
    lookups_free(pair);
    if (pair->client) {
        if (pair->client_filtered)
            dbus_connection_remove_filter(pair->client, client_message_filter, pair);
        dbus_connection_close(pair->client);
        dbus_connection_unref(pair->client);
    }
    if (pair->server) {
        if (pair->server_filtered)
            dbus_connection_remove_filter(pair->server, server_message_filter, pair);
        dbus_connection_close(pair->server);
        dbus_connection_unref(pair->server);
    }
    relay_forget_queues(pair);
    if (pair->client_names)
        g_hash_table_destroy(pair->client_names);
    pair_policy_free(pair->policy);
    std::free(pair->owned_name);
    std::free(pair);
}

void pair_close(ConnectionPair *pair)
{
    dbus_connection_close(pair->client);
}

void pair_client_spoke(ConnectionPair *pair)
{
    stop_idle_timer(pair);
    pair->state = PAIR_OPENING;

    std::string error;
    DBusConnection *server = bus_open_async(pair->config->use_system_bus, on_bus_hello, pair,
                                            &pair->bus_hello, &error);
    if (!server) {
        LOG_FATAL("Failed to open connection to %s bus: %s\n", bus_kind(pair), error.c_str());
        pair_close(pair);
        return;
    }
    pair->server = server;
    // Peer calls (Ping, GetMachineId) belong to the far end, not to us.
    dbus_connection_set_route_peer_messages(server, TRUE);
    apply_back_pressure(server);
    pair->server_filtered = dbus_connection_add_filter(server, server_message_filter, pair, nullptr);
    if (!pair->server_filtered) {
        LOG_FATAL("Failed to open connection to %s bus: %s\n", bus_kind(pair), "out of memory");
        pair_close(pair);
    }
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

    // Silent sockets cost a descriptor each; past the cap the oldest goes.
    // (Refusing the newest instead would let a few idle sockets lock every
    // real client out.)
    if (static_cast<int>(incomplete_pairs.length) >= pair_max_incomplete) {
        const gint64 now = g_get_monotonic_time();
        if (last_eviction_warning == 0 || now - last_eviction_warning >= 60 * G_USEC_PER_SEC) {
            last_eviction_warning = now;
            LOG_WARN("[CLIENT:]%u connections are still authenticating, closing the oldest\n",
                     incomplete_pairs.length);
        }
        auto *oldest = static_cast<ConnectionPair *>(g_queue_peek_head(&incomplete_pairs));
        stop_idle_timer(oldest);
        pair_close(oldest);
    }

    ConnectionPair *pair = pair_new(connection);
    if (!pair)
        return;
    pair->config = config;
    pair->incomplete = 1;
    g_queue_push_tail(&incomplete_pairs, pair);

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
    pair->idle_timer = g_timeout_add(pair_idle_timeout_ms, on_idle_timeout, pair);
    if (!loop_attach_connection(connection)) {
        pair_free(pair);
        return;
    }
    pair_registry_add(pair);
}
