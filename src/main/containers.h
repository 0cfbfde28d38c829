// The containers the daemon serves: the command line's, one per file in
// the --containers directory, and those added by callers. Files and callers
// go through the same container_add and container_remove.
#pragma once

#include "containers/record.h"

#include <memory>
#include <string>

// Makes the command line's container from the parsed options (taken over,
// with its policy) and returns its config, which the daemon's own listener
// serves and whose process-wide fields every other container copies.
ProxyConfig *containers_init(const ProxyConfig &command_line);

// Starts serving `record` (complete: container_finish ran): listens on each
// of its addresses and adds it under its name. False, with the reason in
// `error` and nothing kept, when the name is taken or an address cannot be
// listened on.
bool container_add(std::unique_ptr<Container> record, std::string *error);

// Closes the container's listeners and disconnects its clients (an INFO
// line); the record is freed once the last of them is gone. False when no
// container has that name (the command line's cannot be removed).
bool container_remove(const std::string &name);

// Told of every container added or removed afterwards, whatever its origin
// (a file, a reload, a call): the management interface's signals.
void containers_on_change(void (*fn)(const std::string &name, bool added));

// The container of that name ("" is the command line's), or null.
const Container *container_find(const std::string &name);

// Calls `fn` for every container being served, the command line's first,
// then by name, with its number of clients.
void containers_for_each(void (*fn)(const Container &container, unsigned clients, void *data),
                         void *data);

// The container whose client has `unique_name` on the host bus; null for
// any other name.
const Container *container_of_client(const char *unique_name);

// --containers DIR: reads every NAME.conf there and adds its container (a
// missing directory means none). A file that cannot be read, has a bad
// line or cannot be listened on is skipped with a WARN line.
void containers_load_dir(const char *dir);

// SIGHUP: reads the directory again. New files add containers, removed
// ones remove theirs, changed ones replace theirs (clients disconnected);
// the others, and their clients, stay as they are. A file that became bad
// leaves its container as it was, with a WARN line.
void containers_reload();

// Stops accepting on every container's listeners (the drain at exit); the
// command line's is main/listener.cpp's stop_listener().
void containers_stop_listening();
