#include "policy/match_rule.h"

#include <cstdlib>
#include <cstring>

bool match_rule_parse(const char *rule, MatchPairs *pairs)
{
    pairs->clear();
    const char *p = rule;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
            ++p;
        if (*p == '\0')
            return true;
        const char *eq = std::strchr(p, '=');
        if (!eq || eq == p)
            return false;
        std::string key(p, eq);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
            key.pop_back();
        p = eq + 1;
        std::string value;
        bool quoted = false;
        for (; *p && (quoted || *p != ','); ++p) {
            if (*p == '\'')
                quoted = !quoted;
            else if (!quoted && p[0] == '\\' && p[1] == '\'')
                value += *++p;
            else
                value += *p;
        }
        if (quoted)
            return false;
        pairs->emplace_back(std::move(key), std::move(value));
        if (*p == ',')
            ++p;
    }
}

bool match_rule_eavesdrops(const MatchPairs &pairs)
{
    for (const auto &[key, value] : pairs)
        if (key == "eavesdrop" && value != "false")
            return true;
    return false;
}

bool owner_change_match_from(const MatchPairs &pairs, OwnerChangeMatch *out)
{
    *out = OwnerChangeMatch{};
    for (const auto &[key, value] : pairs) {
        if (key == "type") {
            if (value != "signal")
                return false;
        } else if (key == "sender" || key == "interface") {
            if (value != "org.freedesktop.DBus")
                return false;
        } else if (key == "member") {
            if (value != "NameOwnerChanged")
                return false;
        } else if (key == "path") {
            if (value != "/org/freedesktop/DBus")
                return false;
        } else if (key == "path_namespace") {
            if (value != "/" && value != "/org" && value != "/org/freedesktop" &&
                value != "/org/freedesktop/DBus")
                return false;
        } else if (key == "destination") {
            return false; // the signal is a broadcast
        } else if (key == "arg0") {
            out->arg0 = value;
        } else if (key == "arg0namespace") {
            out->arg0namespace = value;
        } else if (key == "arg1") {
            out->arg1 = value;
        } else if (key == "arg2") {
            out->arg2 = value;
        } else if (key.compare(0, 3, "arg") == 0 && key.size() > 3 &&
                   std::strtol(key.c_str() + 3, nullptr, 10) > 2) {
            return false; // the signal has three arguments
        }
        // Anything else (eavesdrop, argNpath): rather pass a signal too many.
    }
    return true;
}

bool owner_change_matches(const OwnerChangeMatch &match, const char *name, const char *old_owner,
                          const char *new_owner)
{
    if (match.arg0 && *match.arg0 != name)
        return false;
    if (match.arg0namespace) {
        const size_t n = match.arg0namespace->size();
        if (std::strncmp(name, match.arg0namespace->c_str(), n) != 0 ||
            (name[n] != '\0' && name[n] != '.'))
            return false;
    }
    if (match.arg1 && *match.arg1 != old_owner)
        return false;
    return !match.arg2 || *match.arg2 == new_owner;
}
