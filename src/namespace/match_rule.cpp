#include "namespace/match_rule.h"

#include "util/match_rule.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

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

bool about_the_bus(const MatchRule &rule)
{
    for (const MatchEntry &e : rule) {
        if ((e.key == MATCH_SENDER || e.key == MATCH_INTERFACE) &&
            e.value == "org.freedesktop.DBus")
            return true;
        if (e.key == MATCH_MEMBER && e.value == "NameOwnerChanged")
            return true;
    }
    return false;
}

} // namespace

char *translate_match_rule(const char *rule, MatchValueTranslator translate, void *data)
{
    MatchRule pairs;
    if (match_rule_read(rule, &pairs))
        return nullptr;

    const bool bus_rule = about_the_bus(pairs);
    std::string out;
    size_t copied = 0;
    bool replaced = false;
    for (const MatchEntry &p : pairs) {
        if (p.key != MATCH_SENDER && !(bus_rule && p.key == MATCH_ARG && p.arg == 0))
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
