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
    .relay_max_queued_bytes = 16L * 1024 * 1024,
    .relay_max_queued_messages = 16384,
    .relay_max_queued_fds = 256,
    // The message bus's own auth_timeout and max_incomplete_connections.
    .pair_idle_timeout_ms = 30000,
    .pair_max_incomplete = 64,
    .panel_record_timeout_ms = 25000,
    .log_file_open = open_log_path,
};
