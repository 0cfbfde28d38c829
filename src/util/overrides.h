// Every limit and place that the tests change, in one record. The daemon
// itself never writes it: the test build's main sets fields from its
// environment before the daemon starts, and unit tests set them directly.
#pragma once

struct Overrides {
    // Directory of the activation lists, ending in '/'; fixed at build time.
    const char *activation_list_dir;
    // Bounds of one direction's outgoing queue: bytes beyond its largest
    // message, each message counted with what it costs libdbus beyond its
    // bytes (`relay_queued_message_cost`), and descriptors. Reading from the
    // other side stops at twice the bytes and descriptors.
    long relay_max_queued_bytes;
    long relay_queued_message_cost;
    int relay_max_queued_fds;
    // Bound of every client's two queues together, counted the same way;
    // past it the client that holds the most is disconnected. Also set by
    // --max-queued-bytes.
    long daemon_max_queued_bytes;
    // How long an accepted client may stay silent (not authenticated, or
    // authenticated without a first message) before it is closed.
    unsigned pair_idle_timeout_ms;
    // How many accepted clients may be silent at once; past it the oldest
    // is closed.
    int pair_max_incomplete;
    // How long a panel call that is never answered stays recorded: the
    // D-Bus default method-call timeout, after which the caller has given
    // up anyway. A reply that comes later is forwarded unchanged.
    unsigned panel_record_timeout_ms;
    // How long a client's message may wait for the owner tracker's round
    // trip to the bus (policy/owners.h) before it is judged with what the
    // tracker knows. The bus answers within milliseconds unless it is stuck.
    unsigned policy_owner_wait_ms;
    // Opens the log file chosen by --verbose; the tests must not write to
    // the fixed log locations.
    int (*log_file_open)(const char *path);
};

extern Overrides overrides;
