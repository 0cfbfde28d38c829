// The command line, read once at start-up.
#pragma once

#include "config/config.h"

// Fills `config` from argv; returns when every argument is consumed, or
// ends the process (usage error: 1; no password entry for the log file: 0).
void parse_command_line(int argc, char **argv, ProxyConfig *config);

// Prints the usage text on standard error and exits with `status`.
[[noreturn]] void print_usage(const char *program, int status);
