#include "util/overrides.h"

#include <fcntl.h>

#ifndef DPD_ACTIVATION_LIST_DIR
#error "DPD_ACTIVATION_LIST_DIR must name the directory of the activation lists"
#endif

namespace {

int open_log_path(const char *path)
{
    return open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
}

} // namespace

Overrides overrides = {
    .activation_list_dir = DPD_ACTIVATION_LIST_DIR,
    // 32 MiB holds 50,000 small signals for a paused client. A queued
    // 80-byte signal (205 bytes on the wire) raised the resident size by
    // 552 bytes: libdbus's message record, its two strings' slack and the
    // queue link.
    .relay_max_queued_bytes = 32L * 1024 * 1024,
    .relay_queued_message_cost = 350,
    .relay_max_queued_fds = 256,
    // Eight clients at their own bound, or two of the largest messages.
    .daemon_max_queued_bytes = 256L * 1024 * 1024,
    // The message bus's own auth_timeout and max_incomplete_connections.
    .pair_idle_timeout_ms = 30000,
    .pair_max_incomplete = 64,
    .panel_record_timeout_ms = 25000,
    .policy_owner_wait_ms = 5000,
    .log_file_open = open_log_path,
};
