// Reading policy rules from options and policy files.
#pragma once

#include "policy/rule_set.h"

#include <string>

// Adds one rule of kind "see", "talk", "own", "call" or "broadcast"; `arg` is
// NAME or, for call and broadcast, NAME=RULE. 0 when added, -1 with a reason.
int policy_add_rule(PolicyRules *rules, const char *kind, const char *arg, std::string *why);
// Adds the rules of a policy file's text; -1 with the 1-based line and reason.
int policy_parse_text(PolicyRules *rules, const std::string &text, unsigned *line,
                      std::string *why);
// Reads FILE into `rules`. A FATAL line naming the file (and line) on error.
// `missing_ok`: a file that does not exist is no error; sets *found.
int policy_load_file(PolicyRules *rules, const char *path, bool missing_ok, bool *found);
