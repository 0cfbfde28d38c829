// The listening socket clients connect to.
#pragma once

#include "config/config.h"

#include <dbus/dbus.h>

#include <string>

// Builds the D-Bus server address from the options; empty when the options
// cannot make one (the reason goes to `problem`).
std::string build_listen_address(const ProxyConfig *config, std::string *problem);

// True when the TCP socket would accept connections from any interface.
bool listens_on_all_interfaces(const ProxyConfig *config);

// Whether the service manager passed the listening sockets (LISTEN_PID is
// this process, LISTEN_FDS at least 1): they are served instead of binding.
bool socket_activated();

// Starts the D-Bus server and attaches it to the default main context, or
// ends the process with status 1.
void start_listener(ProxyConfig *config);

// Listens on `address` for a container whose clients live under `config`;
// null with the reason in `problem` (a live server on a unix socket path is
// never replaced).
DBusServer *listen_for_container(ProxyConfig *config, const std::string &address,
                                 std::string *problem);
// Stops listening (a unix socket file goes) and releases the server.
void close_container_listener(DBusServer *server);

// Closes the listening socket (a unix socket file the daemon bound is
// removed; one the service manager passed stays) and releases
// the server; connections already accepted are not affected.
void stop_listener();
