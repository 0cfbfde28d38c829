// The daemon's GLib integration for libdbus connections and servers.
#pragma once

#include <dbus/dbus.h>

// Runs `connection` on the default main context: its I/O, its timeouts and
// the dispatch of its incoming messages. Undone by libdbus itself when the
// connection closes and is finalised. False when out of memory.
bool loop_attach_connection(DBusConnection *connection);

// Runs the server's listening sockets on the default main context. When an
// accept fails for lack of descriptors, the sockets rest for a moment
// instead of being retried at once.
bool loop_attach_server(DBusServer *server);

// How long the listening sockets rest after running out of descriptors.
inline constexpr unsigned loop_accept_backoff_ms = 100;
