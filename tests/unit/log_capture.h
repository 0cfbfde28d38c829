// Capturing the daemon's log lines printed by code under test.
#pragma once

#include "log/log.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

// The start of a log line at `level` ("WARN " and "INFO " are padded to five).
inline std::string log_prefix(const char *level)
{
    return std::string("[") + level + " dbus-proxy-daemon (" + std::to_string(getpid()) + ")] ";
}

// Runs `f` at `level` and returns what it logged, each line's prefix
// "[LEVEL dbus-proxy-daemon (pid)] " shortened to "LEVEL ".
template <typename F>
std::string captured_log(F &&f, unsigned level = LOG_LEVEL_TRACE)
{
    log_verbosity = level;
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    const std::string raw = testing::internal::GetCapturedStdout();
    log_verbosity = 0;

    std::string out;
    for (size_t pos = 0; pos < raw.size();) {
        size_t end = raw.find('\n', pos);
        end = end == std::string::npos ? raw.size() : end + 1;
        std::string line = raw.substr(pos, end - pos);
        const size_t close = line.find(")] ");
        if (line.rfind("[", 0) == 0 && close != std::string::npos)
            line = line.substr(1, 6) + line.substr(close + 3);
        out += line;
        pos = end;
    }
    return out;
}
