// One accepted client and the private host-bus connection opened for it.
#pragma once

#include "config/config.h"

#include <dbus/dbus.h>
#include <glib.h>

// A pair is born when a socket is accepted and holds nothing on the host
// bus until its client has authenticated: the client's first message proves
// that. Its bus connection then opens in the background while the client's
// messages wait in order. Whatever the state, the pair ends on one path:
// the client connection's Disconnected, which calls pair_free
// (relay/accept.cpp).
enum PairState {
    PAIR_AUTHENTICATING,
    PAIR_OPENING,
    PAIR_READY,
};

// Messages waiting in one direction's outgoing queue, counted as they
// leave; shared with the messages themselves, which may outlive the pair.
struct QueueCounter;

// What the relay knows of one direction's outgoing queue.
struct QueueBound {
    long largest;           // largest message queued since the queue was last empty
    QueueCounter *counter;  // messages still queued
    // Bytes queued, each counted message with its cost, when last measured;
    // counted towards the daemon's bound (relay/forward.h).
    long held;
    // The last message went to an empty queue and its size was not asked
    // for: whatever is queued at the next send is what is left of it.
    bool unsized;
};

// The client's calls awaiting the bus's answer: usually one or two, kept
// inline; the rest (up to relay/in_flight.cpp's bound) in `calls_to_bus`.
constexpr unsigned pair_inline_calls = 4;

// Pointers first, the 4-byte fields and the flags packed at the end: every
// idle client keeps one of these.
struct ConnectionPair {
    DBusConnection *client;    // accepted from the container application
    // The private connection to the host bus opened for this client; not the
    // listening DBusServer, which is `listen_server` in main/listener.cpp.
    DBusConnection *server;
    ProxyConfig *config;       // shared, not owned
    // The first name still recorded for the client in config->owned_names;
    // a key of client_names, not owned here.
    char *owned_name;

    GQueue held_from_client;      // client messages waiting for the bus connection
    GQueue held_from_bus;         // bus messages waiting behind a process-id query
    DBusPendingCall *pid_query;   // the query that the head of held_from_bus waits for
    GHashTable *client_names;     // well-known names the client owns on the bus
    GHashTable *name_requests;    // its RequestName calls awaiting the bus's reply
    QueueBound to_client;
    QueueBound to_bus;
    GHashTable *calls_to_bus;    // owned; see relay/in_flight.h
    GHashTable *calls_to_client; // owned; see relay/in_flight.h
    GHashTable *asked_names;   // owned; see namespace/lookups.h
    struct PairPolicy *policy; // owned; the access policy's state (--filter)

    dbus_uint32_t inline_calls_to_bus[pair_inline_calls]; // see relay/in_flight.h
    unsigned inline_calls_count;
    // While authenticating, closes a client that never speaks; while
    // opening, gives up on the bus's answer to `bus_hello`; 0 when neither.
    guint timer;
    dbus_uint32_t bus_hello;      // serial of the bus connection's own Hello, while opening
    PairState state : 2;
    unsigned hello_done : 1;      // 1 once the client's Hello was answered
    unsigned client_filtered : 1; // client_message_filter is installed on client
    unsigned server_filtered : 1; // server_message_filter is installed on server
    unsigned incomplete : 1;      // counted among the clients that have not spoken
    unsigned own_name_seen : 1;   // the bus's NameAcquired for the unique name went by
};

// A pair for `client` (referenced), in the authenticating state; null when
// out of memory.
ConnectionPair *pair_new(DBusConnection *client);

// Closes the client connection; its Disconnected then frees the pair.
void pair_close(ConnectionPair *pair);

// Makes room for one more silent client: past overrides.pair_max_incomplete
// of them, the oldest is closed (with a WARN line at most once a minute).
void pair_make_room_for_silent();
// Counts `pair` among the silent clients and closes it when it stays silent
// for overrides.pair_idle_timeout_ms.
void pair_await_first_message(ConnectionPair *pair);
// The client spoke, or is going: it no longer counts as silent.
void pair_stop_waiting(ConnectionPair *pair);

// The session's part of pair_free (relay/accept.cpp), which alone calls it
// once the other folders have let go of the pair and both filters are
// removed: cancels the pending calls, drops the held messages, closes and
// releases both connections and frees the pair.
void pair_release(ConnectionPair *pair);
