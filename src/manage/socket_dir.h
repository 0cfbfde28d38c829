// The sockets the daemon makes for containers added without a listen
// address: CONTAINERS_DIR/NAME.sock, where CONTAINERS_DIR is
// dbus-proxy-daemon/containers under the runtime directory
// ($RUNTIME_DIRECTORY's parent as the service manager sets it, else /run,
// for the system bus; $XDG_RUNTIME_DIR for the session bus).
#pragma once

#include <string>

// The directory, made (0755, so that a container's users reach the socket
// in it) when missing; empty with `error` when there is no runtime
// directory or the one there is not the daemon's own and closed to others.
std::string socket_dir_prepare(bool system_bus, std::string *error);

// The path of NAME's socket in `dir`, and its D-Bus listen address.
std::string socket_dir_path(const std::string &dir, const std::string &name);
std::string socket_dir_address(const std::string &path);

// Once listening: lets any user connect (0666); a container's users are
// seldom the daemon's. False when the socket is not where it should be.
bool socket_dir_open_up(const std::string &path);

