// The daemon as the integration tests run it: identical to the installed
// one, except that the activation lists are read from the directory named
// by DPD_TEST_ACTIVATION_LIST_DIR, so that no test touches the fixed one,
// and that DPD_TEST_MAX_QUEUED_BYTES can lower the per-peer queue limit so
// that a test need not push 127 MiB to reach it. DPD_TEST_LOG_DIR moves the
// --verbose log file into a directory of the test's own.
#include "main/command_line.h"
#include "main/daemon.h"
#include "namespace/activation_list.h"
#include "relay/relay.h"

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
        activation_list_dir = dir;
    if (const char *limit = std::getenv("DPD_TEST_MAX_QUEUED_BYTES"))
        relay_max_queued_bytes = std::atol(limit);
    if (std::getenv("DPD_TEST_LOG_DIR"))
        log_file_open = open_test_log;
    return run_daemon(argc, argv);
}
