// The unix socket file the daemon listens on: never taken from a daemon
// that still serves it, and removed at exit only while it is ours.
#pragma once

#include <string>

// Before listening on `path`: 0 when nothing is there, or a socket of this
// user's that no one answers on (libdbus then replaces it); -1 with
// `problem` for anything else there (a link, a file, another user's socket),
// a socket a server answers on, or one whose state cannot be told.
int socket_path_check(const char *path, std::string *problem);

// Once listening: remembers which file the socket at `path` is.
void socket_path_claim(const char *path);

// Around the server's disconnection, which removes whatever file is at the
// path by then: a file that is no longer ours (a daemon started since put
// its own there) is moved aside before and put back after.
void socket_path_set_aside_foreign();
void socket_path_restore_foreign();
