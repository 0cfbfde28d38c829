// One accepted client and the private host-bus connection opened for it.
#pragma once

#include "main/config.h"

#include <dbus/dbus.h>

struct ConnectionPair {
    DBusConnection *client;    // accepted from the container application
    DBusConnection *server;    // private connection to the host bus
    ProxyConfig *config;       // shared, not owned
    char *owned_name;          // owned; an element of config->owned_names
    int hello_done;            // 1 once the client's Hello was answered
    struct PairPolicy *policy; // owned; the access policy's state (--filter)
};

ConnectionPair *pair_new(DBusConnection *client);
// Closes and releases both connections and frees the pair.
void pair_free(ConnectionPair *pair);

// The server's new-connection function; `data` is the ProxyConfig.
void on_new_connection(DBusServer *server, DBusConnection *connection, void *data);

dbus_bool_t allow_any_unix_user(DBusConnection *connection, unsigned long uid, void *data);
