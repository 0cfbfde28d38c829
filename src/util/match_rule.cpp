#include "util/match_rule.h"

#include <dbus/dbus.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

bool is_white(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A value up to an unquoted ',' (left at `i`) or the end. Inside
// apostrophes every byte is literal; outside them a backslash escapes only
// an apostrophe, and before any other byte both are kept, that byte taken
// literally (so "\," does not end the value).
bool read_value(const char *text, size_t &i, std::string *value)
{
    char state = '\0'; // '\'' inside quotes, '\\' after a backslash
    for (; text[i]; ++i) {
        const char c = text[i];
        if (state == '\'') {
            if (c == '\'')
                state = '\0';
            else
                *value += c;
        } else if (state == '\\') {
            if (c != '\'')
                *value += '\\';
            *value += c;
            state = '\0';
        } else if (c == ',') {
            return true;
        } else if (c == '\'' || c == '\\') {
            state = c;
        } else {
            *value += c;
        }
    }
    if (state == '\\')
        *value += '\\';
    return state != '\'';
}

// As the bus reads the key after "arg": strtoul in any base (so "arg+1",
// "arg01" and "arg0x1" all name argument 1), then nothing, "path", or the
// whole key "arg0namespace".
bool read_arg_key(const std::string &key, MatchEntry *entry)
{
    if (key.size() < 4)
        return false;
    const char *digits = key.c_str() + 3;
    char *end = nullptr;
    errno = 0;
    const unsigned long number = std::strtoul(digits, &end, 0);
    if (end == digits || errno != 0)
        return false;
    const std::string_view rest(end);
    if (rest.empty())
        entry->key = MATCH_ARG;
    else if (rest == "path")
        entry->key = MATCH_ARG_PATH;
    else if (key == "arg0namespace")
        entry->key = MATCH_ARG0_NAMESPACE;
    else
        return false;
    if (number > static_cast<unsigned long>(MATCH_RULE_MAX_ARG))
        return false;
    entry->arg = static_cast<int>(number);
    return true;
}

bool is_name_char(char c, bool initial)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-' ||
           (!initial && c >= '0' && c <= '9');
}

// A bus name, or the first elements of one (a single element will do).
bool valid_name_prefix(const std::string &value)
{
    if (value.empty() || value.size() > DBUS_MAXIMUM_NAME_LENGTH)
        return false;
    if (value[0] == ':')
        return dbus_validate_bus_name(value.c_str(), nullptr);
    bool element_start = true;
    for (const char c : value) {
        if (c == '.') {
            if (element_start)
                return false;
            element_start = true;
        } else if (!is_name_char(c, element_start)) {
            return false;
        } else {
            element_start = false;
        }
    }
    return !element_start;
}

bool valid_type(const std::string &value)
{
    return value == "signal" || value == "method_call" || value == "method_return" ||
           value == "error";
}

// The key and its value as the bus checks them; false with `why` set.
bool read_entry(const std::string &key, MatchEntry *entry, std::string *why)
{
    static const struct {
        const char *name;
        MatchKey key;
    } plain[] = {
        {"type", MATCH_TYPE},
        {"sender", MATCH_SENDER},
        {"interface", MATCH_INTERFACE},
        {"member", MATCH_MEMBER},
        {"path", MATCH_PATH},
        {"path_namespace", MATCH_PATH_NAMESPACE},
        {"destination", MATCH_DESTINATION},
        {"eavesdrop", MATCH_EAVESDROP},
    };
    entry->arg = -1;
    bool known = false;
    for (const auto &p : plain) {
        if (key == p.name) {
            entry->key = p.key;
            known = true;
            break;
        }
    }
    if (!known && !(key.compare(0, 3, "arg") == 0 && read_arg_key(key, entry))) {
        *why = key.compare(0, 3, "arg") == 0 ? "Match rule names an argument it cannot have"
                                             : "Unknown key in match rule";
        return false;
    }
    const std::string &v = entry->value;
    bool valid = true;
    switch (entry->key) {
    case MATCH_TYPE:
        valid = valid_type(v);
        break;
    case MATCH_SENDER:
    case MATCH_DESTINATION:
        valid = dbus_validate_bus_name(v.c_str(), nullptr);
        break;
    case MATCH_INTERFACE:
        valid = dbus_validate_interface(v.c_str(), nullptr);
        break;
    case MATCH_MEMBER:
        valid = dbus_validate_member(v.c_str(), nullptr);
        break;
    case MATCH_PATH:
    case MATCH_PATH_NAMESPACE:
        valid = dbus_validate_path(v.c_str(), nullptr);
        break;
    case MATCH_EAVESDROP:
        valid = v == "true" || v == "false";
        break;
    case MATCH_ARG0_NAMESPACE:
        valid = valid_name_prefix(v);
        break;
    case MATCH_ARG:
    case MATCH_ARG_PATH:
        break;
    }
    if (!valid)
        *why = "Match rule has an invalid value for a key";
    return valid;
}

// Whether `entry` names a key the rule already has: each at most once,
// path and path_namespace together once, an argument once in any form;
// eavesdrop as often as wanted.
bool repeated(const MatchEntry &entry, uint32_t *keys_seen, uint64_t *args_seen)
{
    if (entry.key == MATCH_EAVESDROP)
        return false;
    if (entry.arg >= 0) {
        const uint64_t bit = uint64_t{1} << entry.arg;
        const bool seen = (*args_seen & bit) != 0;
        *args_seen |= bit;
        return seen;
    }
    const MatchKey slot = entry.key == MATCH_PATH_NAMESPACE ? MATCH_PATH : entry.key;
    const uint32_t bit = uint32_t{1} << slot;
    const bool seen = (*keys_seen & bit) != 0;
    *keys_seen |= bit;
    return seen;
}

const char *invalid(MatchRule *rule, std::string *why, const char *reason)
{
    rule->clear();
    if (why)
        *why = reason;
    return DBUS_ERROR_MATCH_RULE_INVALID;
}

} // namespace

const char *match_rule_read(const char *text, MatchRule *rule, std::string *why)
{
    rule->clear();
    // Never more than the bus reads: a rule of 100 MiB costs no more than one of 1 KiB.
    if (strnlen(text, MATCH_RULE_MAX_LENGTH + 1) > MATCH_RULE_MAX_LENGTH) {
        if (why)
            *why = "Match rule text is longer than 1024 bytes, the maximum";
        return DBUS_ERROR_LIMITS_EXCEEDED;
    }
    uint32_t keys_seen = 0;
    uint64_t args_seen = 0;
    size_t i = 0;
    for (;;) {
        while (is_white(text[i]))
            ++i;
        const size_t key_begin = i;
        while (text[i] && text[i] != '=' && !is_white(text[i]))
            ++i;
        const size_t key_end = i;
        while (is_white(text[i]))
            ++i;
        if (key_begin == key_end) {
            if (!text[i])
                return nullptr;
            return invalid(rule, why, "Match rule has a key left empty before its '='");
        }
        if (text[i] != '=')
            return invalid(rule, why, "Match rule has a key with no subsequent '=' character");
        MatchEntry entry{};
        entry.value_begin = ++i;
        if (!read_value(text, i, &entry.value))
            return invalid(rule, why, "Unbalanced quotation marks in match rule");
        entry.value_end = i;
        if (text[i] == ',')
            ++i;
        std::string reason;
        if (!read_entry(std::string(text + key_begin, key_end - key_begin), &entry, &reason))
            return invalid(rule, why, reason.c_str());
        if (repeated(entry, &keys_seen, &args_seen))
            return invalid(rule, why, "Match rule names a key twice");
        if (rule->size() == MATCH_RULE_MAX_KEYS)
            return invalid(rule, why, "Match rule has more keys than the bus reads");
        rule->push_back(std::move(entry));
    }
}

std::string match_key_name(const MatchEntry &entry)
{
    static const char *const names[] = {"type",   "sender",         "interface",
                                        "member", "path",           "path_namespace",
                                        "destination", "eavesdrop"};
    switch (entry.key) {
    case MATCH_ARG:
        return "arg" + std::to_string(entry.arg);
    case MATCH_ARG_PATH:
        return "arg" + std::to_string(entry.arg) + "path";
    case MATCH_ARG0_NAMESPACE:
        return "arg0namespace";
    default:
        return names[entry.key];
    }
}

const MatchEntry *match_rule_find(const MatchRule &rule, MatchKey key, int arg)
{
    for (const MatchEntry &entry : rule)
        if (entry.key == key && entry.arg == arg)
            return &entry;
    return nullptr;
}

bool match_rule_eavesdrops(const MatchRule &rule)
{
    for (const MatchEntry &entry : rule)
        if (entry.key == MATCH_EAVESDROP && entry.value == "true")
            return true;
    return false;
}
