// The activation list: which services run under a namespaced name.
#pragma once

#include "config/config.h"

#include <ctime>

// How often a list file was opened and read (not served from the parsed
// copy): for tests and benchmarks.
extern unsigned long activation_list_reads;
// How many system calls (stat, lstat, open) lookups made on list files.
extern unsigned long activation_list_syscalls;

// Whether a parsed copy may serve later lookups when only stat() can tell
// of changes: its file times must lie at least 2 s before `read_started`,
// the moment its read began.
bool activation_list_copy_trusted(const timespec &modified, const timespec &changed,
                                  const timespec &read_started);

// Learns of changes to the lists in overrides.activation_list_dir from the
// kernel, so that lookups of an unchanged list make no system call; needs the default
// GLib main context to run. 0 when watching; -1 when the system cannot
// tell, and lookups check the file with stat(). Lookups in another
// directory than the one watched also check with stat().
int activation_list_watch_init();
void activation_list_watch_stop();

// Looks `service` up in the list of the bus in use ("dbus-sys-proxy.list"
// or "dbus-sess-proxy.list"). An edit takes effect at the next lookup; an
// unchanged file is not read again, except with --trace, which reads (and
// shows) the file afresh on every lookup. With the watch, a change is
// known once its event has been dispatched by the main loop.
// 1: found, *value_out receives a malloc'ed copy of the line's value (the
// caller frees it); 0: no file, no such line, read error or no memory, and
// *value_out is left alone.
// With config->activation_list_path set, that file is looked up instead (a
// container's own list), with a parsed copy of its own in the config.
int lookup_activation_list(const ProxyConfig *config, const char *service, char **value_out);

// Drops the parsed copy of the config's own list.
void activation_list_forget(ProxyConfig *config);
