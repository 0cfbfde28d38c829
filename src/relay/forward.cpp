#include "relay/forward.h"

#include "log/log.h"
#include "relay/in_flight.h"
#include "relay/undeliverable.h"
#include "session/registry.h"
#include "util/overrides.h"

#include <dbus/dbus.h>

#include <cstdlib>
#include <initializer_list>
#include <vector>

struct QueueCounter {
    int refs;        // the pair's and one per counted message
    long messages;   // counted messages not yet released by libdbus
};

namespace {

dbus_int32_t counter_slot = -1;

// What every pair's two queues held when last measured, added up. libdbus
// writes in between, so this can only overstate what is queued; once it
// passes the daemon's bound every queue is measured again before anyone is
// cut off.
long daemon_held = 0;

void release_counted(void *data)
{
    auto *counter = static_cast<QueueCounter *>(data);
    --counter->messages;
    if (--counter->refs == 0)
        std::free(counter);
}

QueueCounter *counter_of(QueueBound &bound)
{
    if (!bound.counter) {
        bound.counter = static_cast<QueueCounter *>(std::calloc(1, sizeof(QueueCounter)));
        if (bound.counter)
            bound.counter->refs = 1;
    }
    return bound.counter;
}

// Counts `message` until libdbus releases it, which for a relayed message
// is once it has been written. Only messages that join a non-empty queue
// are counted: the others are written at once.
void count_message(QueueBound &bound, DBusMessage *message)
{
    if (counter_slot < 0 && !dbus_message_allocate_data_slot(&counter_slot))
        return;
    QueueCounter *counter = counter_of(bound);
    if (!counter || dbus_message_get_data(message, counter_slot))
        return;
    if (dbus_message_set_data(message, counter_slot, counter, release_counted)) {
        ++counter->refs;
        ++counter->messages;
    }
}

long counted_messages(const QueueBound &bound)
{
    return bound.counter ? bound.counter->messages : 0;
}

// Counted in the daemon's total and in the pair's config's: a container's
// clients count against its share as well as the daemon's bound.
void set_held(ConnectionPair *pair, QueueBound &bound, long held)
{
    daemon_held += held - bound.held;
    if (pair->config)
        pair->config->queued_held += held - bound.held;
    bound.held = held;
}

// `bound`'s queue holds `queued` bytes now.
void note_held(ConnectionPair *pair, QueueBound &bound, long queued)
{
    set_held(pair, bound, queued + counted_messages(bound) * overrides.relay_queued_message_cost);
}

long held_by(const ConnectionPair *pair)
{
    return pair->to_client.held + pair->to_bus.held;
}

void disconnect_stuck(ConnectionPair *pair, bool to_client, long queued)
{
    // Once closed, the rest of its traffic is dropped quietly until the
    // client's Disconnected releases the pair.
    if (!dbus_connection_get_is_connected(pair->client))
        return;
    // The pair relieved may be another than the one being served.
    const LogContainerScope named(pair->config ? pair->config->container_name : nullptr);
    static LogLimit client_stuck, bus_stuck;
    if (to_client)
        LOG_LIMITED(&client_stuck, LOG_LEVEL_WARN,
                    "[SERVICE:]Client is not reading: %ld bytes queued for it, "
                    "disconnecting it\n", queued);
    else
        LOG_LIMITED(&bus_stuck, LOG_LEVEL_WARN,
                    "[CLIENT:]The bus is not reading: %ld bytes queued for it, "
                    "disconnecting the client\n", queued);
    pair_close(pair);
}

struct Measured {
    const ProxyConfig *only; // null: every pair
    std::vector<ConnectionPair *> holders;
};

void measure(ConnectionPair *pair, void *data)
{
    auto *measured = static_cast<Measured *>(data);
    if (measured->only && pair->config != measured->only)
        return;
    // A pair already closed is on its way out, and its queues with it.
    if (!dbus_connection_get_is_connected(pair->client)) {
        set_held(pair, pair->to_client, 0);
        set_held(pair, pair->to_bus, 0);
        return;
    }
    note_held(pair, pair->to_client, dbus_connection_get_outgoing_size(pair->client));
    note_held(pair, pair->to_bus,
              pair->server ? dbus_connection_get_outgoing_size(pair->server) : 0);
    if (held_by(pair) > 0)
        measured->holders.push_back(pair);
}

// Past a bound by the last measures: the daemon's (`only` null) or that
// container's share. Measures every queue that counts against it, then
// disconnects the clients that hold the most, of that container only,
// until the rest fits.
void relieve(const ProxyConfig *only)
{
    Measured measured{only, {}};
    pair_registry_for_each(measure, &measured);
    std::vector<ConnectionPair *> &holders = measured.holders;
    auto past = [only] {
        return only ? only->queued_held > only->max_queued_bytes
                    : daemon_held > overrides.daemon_max_queued_bytes;
    };
    while (past() && !holders.empty()) {
        auto most = holders.begin();
        for (auto h = holders.begin(); h != holders.end(); ++h)
            if (held_by(*h) > held_by(*most))
                most = h;
        ConnectionPair *pair = *most;
        holders.erase(most);
        const bool to_client = pair->to_client.held >= pair->to_bus.held;
        disconnect_stuck(pair, to_client,
                         dbus_connection_get_outgoing_size(to_client ? pair->client : pair->server));
        set_held(pair, pair->to_client, 0);
        set_held(pair, pair->to_bus, 0);
    }
}

bool past_bound(DBusConnection *target, const QueueBound &bound, long queued,
                DBusMessage *message)
{
    // Many small messages cost more than their bytes say.
    const long messages = counted_messages(bound);
    if (queued + messages * overrides.relay_queued_message_cost - bound.largest >
        overrides.relay_max_queued_bytes)
        return true;
    // A message without descriptors adds none to the queue: the count (a
    // locking call) is asked only for one that carries some.
    if (!dbus_message_contains_unix_fds(message))
        return false;
    const long fds = dbus_connection_get_outgoing_unix_fds(target);
    return fds > 0 && fds + 1 > overrides.relay_max_queued_fds;
}

} // namespace

void relay_forward_or_disconnect(ConnectionPair *pair, DBusConnection *target,
                                 DBusMessage *message)
{
    const bool to_client = target == pair->client;
    QueueBound &bound = to_client ? pair->to_client : pair->to_bus;

    const long queued = dbus_connection_get_outgoing_size(target);
    if (queued == 0)
        bound.largest = 0;
    else if (bound.unsized)
        bound.largest = queued; // the rest of the last message, sent to an empty queue
    bound.unsized = false;
    if (past_bound(target, bound, queued, message)) {
        disconnect_stuck(pair, to_client, queued);
        return;
    }
    if (queued > 0)
        count_message(bound, message);
    // Answered even when it cannot be sent: an error goes in its place.
    in_flight_reply_seen(pair, target, message);

    // Memory, or descriptors the target cannot pass: never silent.
    if (!dbus_connection_send(target, message, nullptr)) {
        relay_undeliverable(pair, target, message);
        return;
    }
    in_flight_call_sent(pair, target, message);

    // Sent to an empty queue, a message is mostly written at once; what is
    // left of it counts as the largest at the next send.
    const long now_queued = dbus_connection_get_outgoing_size(target);
    if (queued == 0)
        bound.unsized = true;
    else if (now_queued - queued > bound.largest)
        bound.largest = now_queued - queued;
    note_held(pair, bound, now_queued);
    const ProxyConfig *config = pair->config;
    if (config && config->max_queued_bytes > 0 && config->queued_held > config->max_queued_bytes)
        relieve(config);
    if (daemon_held > overrides.daemon_max_queued_bytes)
        relieve(nullptr);
}

void relay_forget_queues(ConnectionPair *pair)
{
    for (QueueBound *bound : {&pair->to_client, &pair->to_bus}) {
        set_held(pair, *bound, 0);
        if (bound->counter && --bound->counter->refs == 0)
            std::free(bound->counter);
        bound->counter = nullptr;
    }
    in_flight_forget(pair);
}
