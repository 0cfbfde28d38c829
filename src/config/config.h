// The daemon's configuration record, filled once from the command line.
#pragma once

#include <glib.h>

struct ProxyConfig {
    int use_system_bus;        // 1: --system, 0: --session (default)
    const char *host;          // borrowed from argv
    const char *bind;
    const char *port;
    const char *family;
    const char *address;       // accepted and stored only
    const char *socket_path;
    const char *namespace_name;
    int verbose;
    int trace;
    GList *owned_names;        // strings owned by the pairs' owned_name fields
    int log_fd;
    int namespace_lookups;     // 1: --namespace-lookups (see namespace/lookups.h)
    struct PolicyRules *policy; // --filter: the access policy; null: no filtering
};

// Zero-fills the record and sets the defaults.
void config_init(ProxyConfig *config);
