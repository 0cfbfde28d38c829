#include "relay/in_flight.h"

#include <glib.h>

#include <string>

namespace {

// A peer that never answers must not make the tables grow without end;
// calls beyond this are not waited for.
constexpr unsigned max_noted = 4096;

// The client's calls are told apart by their serial alone; the host's by
// the caller's name too.
gchar *host_call_key(const char *caller, dbus_uint32_t serial)
{
    return g_strdup_printf("%u %s", serial, caller ? caller : "");
}

unsigned overflow_size(const ConnectionPair *pair)
{
    return pair->calls_to_bus ? g_hash_table_size(pair->calls_to_bus) : 0;
}

// A client reusing a serial still awaited is noted once, as the hash
// table alone would.
void note_call_to_bus(ConnectionPair *pair, dbus_uint32_t serial)
{
    unsigned &count = pair->inline_calls_count;
    for (unsigned i = 0; i < count; ++i)
        if (pair->inline_calls_to_bus[i] == serial)
            return;
    const unsigned overflow = overflow_size(pair);
    if (count < pair_inline_calls && (overflow == 0 || !g_hash_table_contains(
                                          pair->calls_to_bus, GUINT_TO_POINTER(serial)))) {
        pair->inline_calls_to_bus[count++] = serial;
        return;
    }
    if (count + overflow >= max_noted)
        return;
    if (!pair->calls_to_bus)
        pair->calls_to_bus = g_hash_table_new(g_direct_hash, g_direct_equal);
    g_hash_table_add(pair->calls_to_bus, GUINT_TO_POINTER(serial));
}

void forget_call_to_bus(ConnectionPair *pair, dbus_uint32_t serial)
{
    unsigned &count = pair->inline_calls_count;
    for (unsigned i = 0; i < count; ++i) {
        if (pair->inline_calls_to_bus[i] == serial) {
            pair->inline_calls_to_bus[i] = pair->inline_calls_to_bus[--count];
            return;
        }
    }
    if (pair->calls_to_bus)
        g_hash_table_remove(pair->calls_to_bus, GUINT_TO_POINTER(serial));
}

} // namespace

void in_flight_call_sent(ConnectionPair *pair, DBusConnection *target, DBusMessage *message)
{
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL ||
        dbus_message_get_no_reply(message))
        return;
    const dbus_uint32_t serial = dbus_message_get_serial(message);
    if (target == pair->server) {
        note_call_to_bus(pair, serial);
    } else {
        if (!pair->calls_to_client)
            pair->calls_to_client = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr);
        if (g_hash_table_size(pair->calls_to_client) < max_noted)
            g_hash_table_add(pair->calls_to_client,
                             host_call_key(dbus_message_get_sender(message), serial));
    }
}

void in_flight_reply_seen(ConnectionPair *pair, DBusConnection *target, DBusMessage *message)
{
    const int type = dbus_message_get_type(message);
    if (type != DBUS_MESSAGE_TYPE_METHOD_RETURN && type != DBUS_MESSAGE_TYPE_ERROR)
        return;
    const dbus_uint32_t serial = dbus_message_get_reply_serial(message);
    if (target == pair->client) {
        forget_call_to_bus(pair, serial);
    } else if (pair->calls_to_client && g_hash_table_size(pair->calls_to_client) > 0) {
        gchar *key = host_call_key(dbus_message_get_destination(message), serial);
        g_hash_table_remove(pair->calls_to_client, key);
        g_free(key);
    }
}

unsigned in_flight_calls(const ConnectionPair *pair)
{
    return pair->inline_calls_count + overflow_size(pair) +
           (pair->calls_to_client ? g_hash_table_size(pair->calls_to_client) : 0);
}

void in_flight_forget(ConnectionPair *pair)
{
    if (pair->calls_to_bus)
        g_hash_table_destroy(pair->calls_to_bus);
    if (pair->calls_to_client)
        g_hash_table_destroy(pair->calls_to_client);
    pair->calls_to_bus = nullptr;
    pair->inline_calls_count = 0;
    pair->calls_to_client = nullptr;
}
