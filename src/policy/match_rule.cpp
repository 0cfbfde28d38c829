#include "policy/match_rule.h"

#include <dbus/dbus.h>

#include <cstring>

namespace {

bool is_white(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A value up to an unquoted ',' or the end. A backslash outside quotes
// escapes only a quote mark; before any other byte both bytes are kept,
// and that byte is taken literally (so "\," does not end the value).
bool read_value(const char *&p, std::string *value)
{
    char state = '\0'; // '\'' inside quotes, '\\' after a backslash
    for (; *p; ++p) {
        if (state == '\0') {
            if (*p == ',') {
                ++p;
                return true;
            }
            if (*p == '\'' || *p == '\\')
                state = *p;
            else
                *value += *p;
        } else if (state == '\\') {
            if (*p != '\'')
                *value += '\\';
            *value += *p;
            state = '\0';
        } else if (*p == '\'') {
            state = '\0';
        } else {
            *value += *p;
        }
    }
    if (state == '\\')
        *value += '\\';
    return state != '\'';
}

} // namespace

bool match_rule_parse(const char *rule, MatchPairs *pairs)
{
    pairs->clear();
    if (std::strlen(rule) > DBUS_MAXIMUM_MATCH_RULE_LENGTH)
        return false;
    const char *p = rule;
    for (;;) {
        while (is_white(*p))
            ++p;
        const char *key_start = p;
        while (*p && *p != '=' && !is_white(*p))
            ++p;
        const char *key_end = p;
        while (is_white(*p))
            ++p;
        if (key_start == key_end) {
            // The end of the rule; an empty key before '=' makes one bus
            // skip the rest of the rule, so it is not read here at all.
            return *p == '\0';
        }
        if (*p != '=')
            return false;
        ++p;
        std::string value;
        if (!read_value(p, &value))
            return false;
        pairs->emplace_back(std::string(key_start, key_end), std::move(value));
    }
}

bool match_rule_eavesdrops(const MatchPairs &pairs)
{
    for (const auto &[key, value] : pairs)
        if (key == "eavesdrop" && value != "false")
            return true;
    return false;
}
