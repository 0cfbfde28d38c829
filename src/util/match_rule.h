// Client match rules (AddMatch, RemoveMatch) read once, as the bus reads
// them, so that every part of the daemon judges, records or translates the
// rule the bus will apply and never a look-alike.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The bus's longest rule, in bytes; it refuses a longer one.
inline constexpr size_t MATCH_RULE_MAX_LENGTH = 1024;
// The bus reads no more keys than this and ignores the rest.
inline constexpr size_t MATCH_RULE_MAX_KEYS = 16;
// The highest argument number a rule may name.
inline constexpr int MATCH_RULE_MAX_ARG = 63;

enum MatchKey {
    MATCH_TYPE,
    MATCH_SENDER,
    MATCH_INTERFACE,
    MATCH_MEMBER,
    MATCH_PATH,
    MATCH_PATH_NAMESPACE,
    MATCH_DESTINATION,
    MATCH_EAVESDROP,
    MATCH_ARG,            // argN
    MATCH_ARG_PATH,       // argNpath
    MATCH_ARG0_NAMESPACE, // arg0namespace
};

struct MatchEntry {
    MatchKey key;
    int arg;            // N of argN, argNpath and arg0namespace; -1 otherwise
    std::string value;  // as the bus reads it: quotes and escapes resolved
    size_t value_begin; // the value as written in the rule, quotes included
    size_t value_end;
};

// The entries in the rule's order.
using MatchRule = std::vector<MatchEntry>;

// Reads `text` into `rule` (left empty on a refusal). Returns null when the
// bus would accept the rule, else the error name the bus answers with
// (LimitsExceeded for a rule too long, MatchRuleInvalid otherwise) and, in
// `why` if given, the reason.
// Two rules the bus accepts are refused too, because buses read them
// differently: a key left empty before its '=' (one bus ignores the rest
// of the rule) and more than MATCH_RULE_MAX_KEYS keys. Only the first
// MATCH_RULE_MAX_LENGTH + 1 bytes of `text` are ever looked at.
const char *match_rule_read(const char *text, MatchRule *rule, std::string *why = nullptr);

// The key's usual spelling ("sender", "arg3path"), whatever the rule wrote
// ("arg03path" and "arg+3path" are the same key to the bus).
std::string match_key_name(const MatchEntry &entry);

// The entry for `key` (and argument `arg`), or null.
const MatchEntry *match_rule_find(const MatchRule &rule, MatchKey key, int arg = -1);

// Whether any eavesdrop key says "true". The bus lets the last one win;
// this does not depend on the order.
bool match_rule_eavesdrops(const MatchRule &rule);
