// The policy's command-line options; command_line.cpp calls these.
#pragma once

#include "config/config.h"

#include <string>

// 1: `arg` was a policy option and is taken; 0: not one; -1: malformed,
// with the reason in `why` when one is given.
int policy_command_line_option(ProxyConfig *config, const char *arg,
                               std::string *why = nullptr);
// After all options: -1 when policy options came without --filter (usage
// error); otherwise loads the files (FATAL and exit 1 on error) and sets
// config->policy when filtering is on.
int policy_command_line_done(ProxyConfig *config);
void policy_config_free(ProxyConfig *config);
