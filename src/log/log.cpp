#include "log/log.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

unsigned int log_verbosity = 0;
const char *log_container = nullptr;

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
    if (log_container)
        std::printf("[container %s] ", log_container);
    std::vprintf(fmt, ap);
}

void log_write(LogLevel level, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(level, fmt, ap);
    va_end(ap);
}

void log_limited(LogLimit *limit, LogLevel level, const char *fmt, ...)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Never 0, which stands for "nothing printed yet".
    const long long now_ms = now.tv_sec * 1000LL + now.tv_nsec / 1000000 + 1;
    if (limit->last_ms != 0 && now_ms - limit->last_ms < 1000) {
        ++limit->held_back;
        return;
    }
    limit->last_ms = now_ms;
    va_list ap;
    va_start(ap, fmt);
    if (limit->held_back == 0) {
        log_vwrite(level, fmt, ap);
    } else {
        char text[1024];
        std::vsnprintf(text, sizeof text, fmt, ap);
        size_t length = 0;
        while (text[length])
            ++length;
        if (length > 0 && text[length - 1] == '\n')
            text[--length] = '\0';
        log_write(level, "%s (%u more like it since the last line)\n", text, limit->held_back);
    }
    va_end(ap);
    limit->held_back = 0;
}
