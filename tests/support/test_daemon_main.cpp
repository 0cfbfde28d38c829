// The daemon as the integration tests run it: identical to the installed
// one, except that the activation lists are read from the directory named
// by DPD_TEST_ACTIVATION_LIST_DIR, so that no test touches the fixed one,
// and that DPD_TEST_MAX_QUEUED_BYTES can lower the per-peer queue limit so
// that a test need not push 127 MiB to reach it, and
// DPD_TEST_PANEL_RECORD_TIMEOUT_MS can shorten the life of an unanswered
// panel call's record.
#include "main/daemon.h"
#include "namespace/activation_list.h"
#include "panel/records.h"
#include "relay/relay.h"

#include <cstdlib>

int main(int argc, char **argv)
{
    if (const char *dir = std::getenv("DPD_TEST_ACTIVATION_LIST_DIR"))
        activation_list_dir = dir;
    if (const char *limit = std::getenv("DPD_TEST_MAX_QUEUED_BYTES"))
        relay_max_queued_bytes = std::atol(limit);
    if (const char *timeout = std::getenv("DPD_TEST_PANEL_RECORD_TIMEOUT_MS"))
        panel_record_timeout_ms = static_cast<unsigned>(std::atol(timeout));
    return run_daemon(argc, argv);
}
