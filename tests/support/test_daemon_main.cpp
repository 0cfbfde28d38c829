// The daemon as the integration tests run it: identical to the installed
// one, except that a few fields of `overrides` can be set from the
// environment, so that no test touches the fixed activation-list directory
// or has to wait out a production-sized limit:
//   DPD_TEST_ACTIVATION_LIST_DIR    where the activation lists are read
//   DPD_TEST_MAX_QUEUED_BYTES       bytes a peer may leave unread
//   DPD_TEST_QUEUED_MESSAGE_COST    what each queued message counts beyond its bytes
//   DPD_TEST_DAEMON_MAX_QUEUED_BYTES  bytes all clients together may leave unread
//   DPD_TEST_IDLE_TIMEOUT_MS        how long an accepted client may stay silent
//   DPD_TEST_PANEL_RECORD_TIMEOUT_MS  how long an unanswered panel call stays recorded
//   DPD_TEST_OWNER_WAIT_MS          how long a message waits for the owner tracker
//   DPD_TEST_LOG_DIR                where the --verbose log file goes
#include "main/daemon.h"
#include "util/overrides.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>

// The daemon's own flags, on the file of the same name in the test's directory.
static int open_test_log(const char *path)
{
    const char *base = std::strrchr(path, '/');
    const std::string moved = std::string(std::getenv("DPD_TEST_LOG_DIR")) + (base ? base : "/");
    return open(moved.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
}

int main(int argc, char **argv)
{
    if (const char *dir = std::getenv("DPD_TEST_ACTIVATION_LIST_DIR"))
        overrides.activation_list_dir = dir;
    if (const char *limit = std::getenv("DPD_TEST_MAX_QUEUED_BYTES"))
        overrides.relay_max_queued_bytes = std::atol(limit);
    if (const char *limit = std::getenv("DPD_TEST_DAEMON_MAX_QUEUED_BYTES"))
        overrides.daemon_max_queued_bytes = std::atol(limit);
    if (const char *cost = std::getenv("DPD_TEST_QUEUED_MESSAGE_COST"))
        overrides.relay_queued_message_cost = std::atol(cost);
    if (const char *ms = std::getenv("DPD_TEST_IDLE_TIMEOUT_MS"))
        overrides.pair_idle_timeout_ms = static_cast<unsigned>(std::atol(ms));
    if (const char *timeout = std::getenv("DPD_TEST_PANEL_RECORD_TIMEOUT_MS"))
        overrides.panel_record_timeout_ms = static_cast<unsigned>(std::atol(timeout));
    if (const char *ms = std::getenv("DPD_TEST_OWNER_WAIT_MS"))
        overrides.policy_owner_wait_ms = static_cast<unsigned>(std::atol(ms));
    if (std::getenv("DPD_TEST_LOG_DIR"))
        overrides.log_file_open = open_test_log;
    return run_daemon(argc, argv);
}
