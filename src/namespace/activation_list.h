// The activation list: which services run under a namespaced name.
#pragma once

#include "main/config.h"

// Directory of the list files, ending in '/'. Fixed at build time; only the
// tests point it elsewhere, the daemon never changes it.
extern const char *activation_list_dir;

// How often a list file was opened and read (not served from the parsed
// copy): for tests and benchmarks.
extern unsigned long activation_list_reads;

// Looks `service` up in the list of the bus in use ("dbus-sys-proxy.list"
// or "dbus-sess-proxy.list"). An edit takes effect at the next lookup; an
// unchanged file is not read again, except with --trace, which reads (and
// shows) the file afresh on every lookup.
// 1: found, *value_out receives a malloc'ed copy of the line's value (the
// caller frees it); 0: no file, no such line, read error or no memory, and
// *value_out is left alone.
int lookup_activation_list(const ProxyConfig *config, const char *service, char **value_out);
