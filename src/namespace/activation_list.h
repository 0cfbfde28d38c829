// The activation list: which services run under a namespaced name.
#pragma once

#include "main/config.h"

// Directory of the list files, ending in '/'. Fixed at build time; only the
// tests point it elsewhere, the daemon never changes it.
extern const char *activation_list_dir;

// Looks `service` up in the list of the bus in use ("dbus-sys-proxy.list"
// or "dbus-sess-proxy.list"), reading the file afresh on every call.
// 1: found, *value_out receives a malloc'ed copy of the line's value (the
// caller frees it); 0: no file, no such line, read error or no memory, and
// *value_out is left alone.
int lookup_activation_list(const ProxyConfig *config, const char *service, char **value_out);
