#include "main/log_file.h"

#include "log/log.h"
#include "util/overrides.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string remembered_path;

} // namespace

void log_file_remember(const char *path)
{
    remembered_path = path;
}

void log_file_reopen(ProxyConfig *config)
{
    if (remembered_path.empty() || config->log_fd < 0) {
        LOG_DEBUG("No log file to reopen\n");
        return;
    }
    // Lines already formatted belong to the old file.
    std::fflush(stdout);
    const int fd = overrides.log_file_open(remembered_path.c_str());
    if (fd < 0) {
        const int error = errno;
        LOG_WARN("Cannot reopen the log file %s: %s\n", remembered_path.c_str(),
                 std::strerror(error));
        return;
    }
    if (dup2(fd, STDOUT_FILENO) < 0) {
        const int error = errno;
        close(fd);
        LOG_WARN("Cannot reopen the log file %s: %s\n", remembered_path.c_str(),
                 std::strerror(error));
        return;
    }
    close(config->log_fd);
    config->log_fd = fd;
    LOG_INFO("Reopened the log file %s\n", remembered_path.c_str());
}
