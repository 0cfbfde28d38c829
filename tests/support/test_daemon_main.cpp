// The daemon as the integration tests run it: identical to the installed
// one, except that a few limits and places can be changed from the
// environment, so that no test touches the fixed activation-list directory
// or has to wait out a production-sized limit:
//   DPD_TEST_ACTIVATION_LIST_DIR    where the activation lists are read
//   DPD_TEST_MAX_QUEUED_BYTES       bytes a peer may leave unread
//   DPD_TEST_MAX_QUEUED_MESSAGES    messages a peer may leave unread
//   DPD_TEST_IDLE_TIMEOUT_MS        how long an accepted client may stay silent
//   DPD_TEST_PANEL_RECORD_TIMEOUT_MS  how long an unanswered panel call stays recorded
#include "main/daemon.h"
#include "namespace/activation_list.h"
#include "panel/records.h"
#include "relay/relay.h"
#include "session/pair.h"

#include <cstdlib>

int main(int argc, char **argv)
{
    if (const char *dir = std::getenv("DPD_TEST_ACTIVATION_LIST_DIR"))
        activation_list_dir = dir;
    if (const char *limit = std::getenv("DPD_TEST_MAX_QUEUED_BYTES"))
        relay_max_queued_bytes = std::atol(limit);
    if (const char *limit = std::getenv("DPD_TEST_MAX_QUEUED_MESSAGES"))
        relay_max_queued_messages = std::atol(limit);
    if (const char *ms = std::getenv("DPD_TEST_IDLE_TIMEOUT_MS"))
        pair_idle_timeout_ms = static_cast<unsigned>(std::atol(ms));
    if (const char *timeout = std::getenv("DPD_TEST_PANEL_RECORD_TIMEOUT_MS"))
        panel_record_timeout_ms = static_cast<unsigned>(std::atol(timeout));
    return run_daemon(argc, argv);
}
