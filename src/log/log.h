// Log prefixes and level gating shared by every subsystem.
#pragma once

#include <cstdarg>

enum LogLevel : unsigned {
    LOG_LEVEL_FATAL = 0,
    LOG_LEVEL_WARN = 1,
    LOG_LEVEL_INFO = 2,
    LOG_LEVEL_DEBUG = 3,
    LOG_LEVEL_TRACE = 4,
};

// Unsigned on purpose: "--verbose -1" wraps around and enables every level.
extern unsigned int log_verbosity;

inline bool log_enabled(LogLevel level) { return level <= log_verbosity; }

// The container whose client is being served: named after the prefix of
// every line written meanwhile ("[container NAME] "); null: none named
// (the command line's clients, the daemon's own work).
extern const char *log_container;

// Names `name` in the lines written during its life; restores the previous.
struct LogContainerScope {
    const char *saved;
    explicit LogContainerScope(const char *name) : saved(log_container) { log_container = name; }
    ~LogContainerScope() { log_container = saved; }
    LogContainerScope(const LogContainerScope &) = delete;
    LogContainerScope &operator=(const LogContainerScope &) = delete;
};

// Prints the level's prefix and the formatted text to standard output,
// without any gate: the macros below check the level first so that nothing
// is formatted for a line that is not printed.
void log_write(LogLevel level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void log_vwrite(LogLevel level, const char *fmt, va_list ap);

// Writes the line when `level` is enabled and `cond` holds. `cond` is only
// evaluated at an enabled level, so it may count (a rate limit), and the
// arguments only when the line is printed.
#define LOG_IF(cond, level, ...)                      \
    do {                                              \
        if (log_enabled(level) && (cond))             \
            log_write((level), __VA_ARGS__);          \
    } while (0)

// One kind of repeated failure (a bus that cannot be reached, sends that
// fail), printed at most once a second: a line that follows held-back ones
// ends in " (N more like it since the last line)". Zero-initialised.
struct LogLimit {
    long long last_ms;   // monotonic, of the last line printed; 0: none yet
    unsigned held_back;  // lines not printed since
};

// Writes the line unless `limit` printed one less than a second ago.
void log_limited(LogLimit *limit, LogLevel level, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

#define LOG_LIMITED(limit, level, ...)                \
    do {                                              \
        if (log_enabled(level))                       \
            log_limited((limit), (level), __VA_ARGS__); \
    } while (0)

#define LOG_AT(level, ...) LOG_IF(true, level, __VA_ARGS__)

#define LOG_FATAL(...) LOG_AT(LOG_LEVEL_FATAL, __VA_ARGS__)
#define LOG_WARN(...) LOG_AT(LOG_LEVEL_WARN, __VA_ARGS__)
#define LOG_INFO(...) LOG_AT(LOG_LEVEL_INFO, __VA_ARGS__)
#define LOG_DEBUG(...) LOG_AT(LOG_LEVEL_DEBUG, __VA_ARGS__)
#define LOG_TRACE(...) LOG_AT(LOG_LEVEL_TRACE, __VA_ARGS__)
