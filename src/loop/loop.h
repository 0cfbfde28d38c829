// The daemon's GLib integration for libdbus connections and servers.
#pragma once

#include <dbus/dbus.h>

// Runs `connection` on the default main context: its I/O, its timeouts and
// the dispatch of its incoming messages. Undone by libdbus itself when the
// connection closes and is finalised. False when out of memory.
bool loop_attach_connection(DBusConnection *connection);

// Whether the connection's last read left part of a message in libdbus's
// hands, not yet a whole one: a large message on its way in, which the
// socket's unread count cannot show.
bool loop_connection_mid_message(DBusConnection *connection);

// Runs the server's listening sockets on the default main context. When an
// accept fails for lack of descriptors, the sockets rest for a moment
// instead of being retried at once.
bool loop_attach_server(DBusServer *server);

// How long the listening sockets rest after running out of descriptors.
inline constexpr unsigned loop_accept_backoff_ms = 100;

// Calls `on_ready(data)` whenever `fd` is readable (or has an error or a
// hang-up), from the same epoll set as the connections: no GSource of its
// own for GLib to prepare and check on every iteration. Within an
// iteration `on_ready` runs before any message read in it is dispatched,
// so that what it announces (a changed file, a signal) is seen before a
// message that came after it. The descriptor stays the caller's; unwatch
// it before closing it. False when it cannot be watched.
bool loop_watch_fd(int fd, void (*on_ready)(void *data), void *data);
void loop_unwatch_fd(int fd);
