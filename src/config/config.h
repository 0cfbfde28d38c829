// The settings a client lives under. The command line fills one record;
// each container of the daemon (containers/record.h) holds one of its own,
// which its clients' pairs point at. The process-wide fields (bus, verbose,
// trace, log_fd) are the command line's, copied into every container.
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
    const char *containers_dir; // --containers DIR; the command line's only
    // Where its clients are audited (audit/audit.h); null: they are not.
    struct Audit *audit;

    // Null for the command line's: its list is the daemon's (in
    // overrides.activation_list_dir, named after the bus), its icons are
    // prefixed with panel_icon_prefix and its log lines name no container.
    const char *container_name;
    const char *activation_list_path;
    const char *panel_prefix;
    // The parsed copy of a list of its own; owned by namespace/activation_list.cpp.
    struct ActivationListCache *activation_list_cache;
    // The record that holds this one (containers/record.h); null when none.
    struct Container *container;
    // Pairs living under these settings; when the last one goes and
    // `on_unused` is set (the container was removed), it is called.
    unsigned clients;
    void (*on_unused)(ProxyConfig *config);
    // Its share of the daemon's bounds (relay/forward.cpp, relay/accept.cpp);
    // 0: none of its own, only the daemon's (the command line's).
    unsigned max_clients;
    long max_queued_bytes;
    // What its pairs' queues held when last measured, added up.
    long queued_held;
};

// Zero-fills the record and sets the defaults.
void config_init(ProxyConfig *config);

// A pair under `config` came, or went (see `on_unused`).
void config_client_came(ProxyConfig *config);
void config_client_left(ProxyConfig *config);
