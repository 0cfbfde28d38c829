// Client match rules read as the bus reads them, so that the policy judges
// the rule the bus will apply, not a look-alike.
#pragma once

#include <string>
#include <utility>
#include <vector>

using MatchPairs = std::vector<std::pair<std::string, std::string>>;

// Splits a rule into its key/value pairs with the bus's white space, quoting
// and backslash rules. False when the rule is longer than the bus accepts,
// malformed, or read differently by bus implementations (a key left empty
// before its '='): such a rule is refused, never guessed at.
bool match_rule_parse(const char *rule, MatchPairs *pairs);
// Whether any eavesdrop key asks for anything but "false" (the bus lets the
// last one win; this does not depend on the order).
bool match_rule_eavesdrops(const MatchPairs &pairs);
