#include "session/pair.h"

#include "log/log.h"
#include "session/registry.h"
#include "util/overrides.h"

#include <cstdlib>

namespace {

// Accepted clients that have not spoken yet, oldest first.
GQueue incomplete_pairs = G_QUEUE_INIT;
gint64 last_eviction_warning = 0;

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

void close_connection(DBusConnection *connection)
{
    if (!connection)
        return;
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
}

gboolean on_idle_timeout(gpointer data)
{
    auto *pair = static_cast<ConnectionPair *>(data);
    const LogContainerScope named(pair->config ? pair->config->container_name : nullptr);
    pair->timer = 0;
    if (dbus_connection_get_is_authenticated(pair->client))
        LOG_DEBUG("[CLIENT:]Client sent nothing within %u ms of authenticating, closing it\n",
                  overrides.pair_idle_timeout_ms);
    else
        LOG_DEBUG("[CLIENT:]Client did not authenticate within %u ms, closing it\n",
                  overrides.pair_idle_timeout_ms);
    pair_close(pair);
    return G_SOURCE_REMOVE;
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

void pair_close(ConnectionPair *pair)
{
    dbus_connection_close(pair->client);
}

void pair_make_room_for_silent()
{
    // Silent sockets cost a descriptor each; past the cap the oldest goes.
    // (Refusing the newest instead would let a few idle sockets lock every
    // real client out.)
    if (static_cast<int>(incomplete_pairs.length) < overrides.pair_max_incomplete)
        return;
    const gint64 now = g_get_monotonic_time();
    if (last_eviction_warning == 0 || now - last_eviction_warning >= 60 * G_USEC_PER_SEC) {
        last_eviction_warning = now;
        LOG_WARN("[CLIENT:]%u connections are still authenticating, closing the oldest\n",
                 incomplete_pairs.length);
    }
    auto *oldest = static_cast<ConnectionPair *>(g_queue_peek_head(&incomplete_pairs));
    pair_stop_waiting(oldest);
    pair_close(oldest);
}

void pair_await_first_message(ConnectionPair *pair)
{
    pair->incomplete = 1;
    g_queue_push_tail(&incomplete_pairs, pair);
    pair->timer = g_timeout_add(overrides.pair_idle_timeout_ms, on_idle_timeout, pair);
}

void pair_stop_waiting(ConnectionPair *pair)
{
    // Past authenticating, the timer waits for the bus's Hello answer.
    if (pair->state == PAIR_AUTHENTICATING && pair->timer) {
        g_source_remove(pair->timer);
        pair->timer = 0;
    }
    if (pair->incomplete) {
        pair->incomplete = 0;
        g_queue_remove(&incomplete_pairs, pair);
    }
}

void pair_release(ConnectionPair *pair)
{
    pair_registry_remove(pair);
    pair_stop_waiting(pair);
    // The timer's callback may not run for a pair that is gone.
    if (pair->timer)
        g_source_remove(pair->timer);
    pair->timer = 0;
    cancel_call(&pair->pid_query);
    release_queue(&pair->held_from_client);
    release_queue(&pair->held_from_bus);
    close_connection(pair->client);
    close_connection(pair->server);
    if (pair->client_names)
        g_hash_table_destroy(pair->client_names);
    std::free(pair);
}
