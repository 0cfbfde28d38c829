// The client's match rules, as far as the policy needs them: eavesdropping,
// and which NameOwnerChanged signals the client asked for (the pair has a
// match of its own for them, so the bus sends more than the client wants).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

using MatchPairs = std::vector<std::pair<std::string, std::string>>;

// Splits a rule into its key/value pairs as the bus does; false if malformed.
bool match_rule_parse(const char *rule, MatchPairs *pairs);
bool match_rule_eavesdrops(const MatchPairs &pairs);

// A client rule that can match the bus's NameOwnerChanged, by its argument
// conditions (absent: none).
struct OwnerChangeMatch {
    std::optional<std::string> arg0, arg0namespace, arg1, arg2;
    bool operator==(const OwnerChangeMatch &) const = default;
};
// False when the rule cannot match a NameOwnerChanged from the bus.
bool owner_change_match_from(const MatchPairs &pairs, OwnerChangeMatch *out);
bool owner_change_matches(const OwnerChangeMatch &match, const char *name, const char *old_owner,
                          const char *new_owner);
