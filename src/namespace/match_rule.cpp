#include "namespace/match_rule.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct MatchPair {
    std::string key;
    std::string value;     // unquoted
    size_t value_begin;    // the value as written, quotes included
    size_t value_end;
};

bool is_white(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The bus's own reading of a rule: key=value pairs separated by commas;
// inside single quotes every byte is literal, outside them \' is a quote
// and any other backslash is itself.
bool parse_rule(const char *text, std::vector<MatchPair> &pairs)
{
    const size_t n = std::strlen(text);
    size_t i = 0;
    while (i < n) {
        while (i < n && is_white(text[i]))
            ++i;
        const size_t key_begin = i;
        while (i < n && text[i] != '=' && !is_white(text[i]))
            ++i;
        MatchPair pair{std::string(text + key_begin, i - key_begin), std::string(), 0, 0};
        while (i < n && is_white(text[i]))
            ++i;
        if (pair.key.empty() || i >= n || text[i] != '=')
            return false;
        pair.value_begin = ++i;

        enum { PLAIN, QUOTED, BACKSLASH } state = PLAIN;
        for (; i < n; ++i) {
            const char c = text[i];
            if (state == QUOTED) {
                if (c == '\'')
                    state = PLAIN;
                else
                    pair.value += c;
            } else if (state == BACKSLASH) {
                if (c != '\'')
                    pair.value += '\\';
                pair.value += c;
                state = PLAIN;
            } else if (c == '\'') {
                state = QUOTED;
            } else if (c == '\\') {
                state = BACKSLASH;
            } else if (c == ',') {
                break;
            } else {
                pair.value += c;
            }
        }
        if (state == QUOTED)
            return false;
        if (state == BACKSLASH)
            pair.value += '\\';
        pair.value_end = i;
        if (i < n)
            ++i; // the comma
        pairs.push_back(std::move(pair));
    }
    return true;
}

// Quoted so that the bus reads back exactly `value`: a quote cannot be
// written inside quotes, so it closes them, is escaped, and reopens them.
std::string quote_value(const char *value)
{
    std::string out = "'";
    for (const char *p = value; *p; ++p) {
        if (*p == '\'')
            out += "'\\''";
        else
            out += *p;
    }
    return out + "'";
}

bool about_the_bus(const std::vector<MatchPair> &pairs)
{
    for (const MatchPair &p : pairs) {
        if ((p.key == "sender" || p.key == "interface") && p.value == "org.freedesktop.DBus")
            return true;
        if (p.key == "member" && p.value == "NameOwnerChanged")
            return true;
    }
    return false;
}

} // namespace

char *translate_match_rule(const char *rule, MatchValueTranslator translate, void *data)
{
    std::vector<MatchPair> pairs;
    if (!parse_rule(rule, pairs))
        return nullptr;

    const bool bus_rule = about_the_bus(pairs);
    std::string out;
    size_t copied = 0;
    bool replaced = false;
    for (const MatchPair &p : pairs) {
        if (p.key != "sender" && !(bus_rule && p.key == "arg0"))
            continue;
        char *replacement = translate(p.value.c_str(), data);
        if (!replacement)
            continue;
        out.append(rule + copied, p.value_begin - copied);
        out += quote_value(replacement);
        std::free(replacement);
        copied = p.value_end;
        replaced = true;
    }
    if (!replaced)
        return nullptr;
    out.append(rule + copied);
    return strdup(out.c_str());
}
