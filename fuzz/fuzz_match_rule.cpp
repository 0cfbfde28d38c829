// Reads arbitrary text as a client's match rule. What the reader accepts
// must survive being written back: the rule rebuilt from its entries, and
// the rule with every value the translator is offered replaced by itself,
// read back to the same entries.
#include "namespace/match_rule.h"
#include "util/match_rule.h"

#include <dbus/dbus.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string quoted(const std::string &value)
{
    std::string out = "'";
    for (const char c : value)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool same(const MatchRule &a, const MatchRule &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].key != b[i].key || a[i].arg != b[i].arg || a[i].value != b[i].value)
            return false;
    return true;
}

// Each value must read back exactly, so the rule must too.
void reads_back(const std::string &text, const MatchRule &rule)
{
    if (text.size() > MATCH_RULE_MAX_LENGTH)
        return;
    MatchRule again;
    if (match_rule_read(text.c_str(), &again) || !same(rule, again))
        std::abort();
}

char *same_value(const char *value, void *)
{
    return strdup(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const char *text = input.c_str(); // read up to its first NUL, as a D-Bus string ends
    const size_t length = std::strlen(text);

    MatchRule rule;
    std::string why;
    const char *error = match_rule_read(text, &rule, &why);
    if (error) {
        // A refusal says why, and only a rule too long is past the limits.
        const bool too_long = std::strcmp(error, DBUS_ERROR_LIMITS_EXCEEDED) == 0;
        if (why.empty() || too_long != (length > MATCH_RULE_MAX_LENGTH))
            std::abort();
        return 0;
    }
    if (length > MATCH_RULE_MAX_LENGTH || rule.size() > MATCH_RULE_MAX_KEYS)
        std::abort();

    std::string rebuilt;
    for (const MatchEntry &entry : rule) {
        if (entry.value_begin > entry.value_end || entry.value_end > length)
            std::abort();
        rebuilt += (rebuilt.empty() ? "" : ",") + match_key_name(entry) + "=" + quoted(entry.value);
    }
    reads_back(rebuilt, rule);

    if (char *translated = translate_match_rule(text, same_value, nullptr)) {
        reads_back(translated, rule);
        std::free(translated);
    }
    match_rule_eavesdrops(rule);
    return 0;
}
