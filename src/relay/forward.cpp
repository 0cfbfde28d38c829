#include "relay/forward.h"

#include "log/log.h"
#include "relay/in_flight.h"
#include "relay/undeliverable.h"
#include "util/overrides.h"

#include <dbus/dbus.h>

#include <cstdlib>
#include <initializer_list>

struct QueueCounter {
    int refs;        // the pair's and one per counted message
    long messages;   // counted messages not yet released by libdbus
};

namespace {

dbus_int32_t counter_slot = -1;

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

bool past_bound(DBusConnection *target, const QueueBound &bound, long queued,
                DBusMessage *message)
{
    // Many small messages cost more than their bytes say.
    const long messages = bound.counter ? bound.counter->messages : 0;
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
        // Once closed, the rest of its traffic is dropped quietly until the
        // client's Disconnected releases the pair.
        if (dbus_connection_get_is_connected(pair->client)) {
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

    // Sent to an empty queue, a message is mostly written at once; its rest
    // is measured at the next send instead, saving a locking call here.
    if (queued == 0) {
        bound.unsized = true;
        return;
    }
    const long size = dbus_connection_get_outgoing_size(target) - queued;
    if (size > bound.largest)
        bound.largest = size;
}

void relay_forget_queues(ConnectionPair *pair)
{
    for (QueueBound *bound : {&pair->to_client, &pair->to_bus}) {
        if (bound->counter && --bound->counter->refs == 0)
            std::free(bound->counter);
        bound->counter = nullptr;
    }
    in_flight_forget(pair);
}
