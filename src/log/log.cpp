#include "log/log.h"

#include <cstdio>
#include <unistd.h>

unsigned int log_verbosity = 0;

namespace {

const char *const level_prefix[] = {
    "[FATAL dbus-proxy-daemon (%i)] ",
    "[WARN  dbus-proxy-daemon (%i)] ",
    "[INFO  dbus-proxy-daemon (%i)] ",
    "[DEBUG dbus-proxy-daemon (%i)] ",
    "[TRACE dbus-proxy-daemon (%i)] ",
};

} // namespace

void log_vwrite(LogLevel level, const char *fmt, va_list ap)
{
    std::printf(level_prefix[level], static_cast<int>(getpid()));
    std::vprintf(fmt, ap);
}

void log_write(LogLevel level, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(level, fmt, ap);
    va_end(ap);
}
