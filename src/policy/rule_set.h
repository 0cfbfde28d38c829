// The access policy's rules (--filter), and what they grant a name.
#pragma once

#include <dbus/dbus.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Each level includes the ones before it.
enum PolicyLevel : int { POLICY_NONE = 0, POLICY_SEE = 1, POLICY_TALK = 2, POLICY_OWN = 3 };

// argN=VALUE of a rule: argument N is a string or object path equal to VALUE.
struct ArgCondition {
    unsigned index; // 0 to POLICY_MAX_ARG
    std::string value;
};
constexpr unsigned POLICY_MAX_ARG = 63;

// A --call or --broadcast RULE: [METHOD][@PATH][(argN=VALUE,...)]. Empty
// strings match all.
struct MethodRule {
    std::string interface; // empty: any interface
    std::string member;    // empty: any member of `interface`
    std::string path;      // empty: any path
    bool path_subtree;     // `path` ends in /*: the path and everything below
    std::vector<ArgCondition> args; // all must hold; empty: the body is never read
};

struct NameRules {
    int level = POLICY_NONE;
    std::vector<MethodRule> calls;
    std::vector<MethodRule> broadcasts;
};

// Looked up by std::string_view: a name and its dot-prefixes need no copies.
struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept
    {
        return std::hash<std::string_view>{}(name);
    }
};
using NameRulesMap = std::unordered_map<std::string, NameRules, NameHash, std::equal_to<>>;

struct PolicyRules {
    NameRulesMap exact;
    // "org.example.*" is kept as "org.example": names are matched by walking
    // their own dot-prefixes, one hash lookup each.
    NameRulesMap prefix;
    // "org.kde.StatusNotifierItem-*" is kept as "org.kde.StatusNotifierItem-":
    // it covers that text followed by anything without a dot, so a pattern
    // never reaches past the name's last element.
    NameRulesMap element_prefix;
    // Bit min(length, 63) for every key of each map: most names and their
    // dot-prefixes have a length no key has, and skip hashing.
    uint64_t exact_lengths = 0;
    uint64_t prefix_lengths = 0;
    uint64_t element_prefix_lengths = 0;
    std::string namespace_suffix; // ".docker": a rule for N also covers N.docker
    size_t rule_count = 0;

    // Command-line staging, used until policy_command_line_done().
    bool filter_option = false;     // --filter was given
    bool rule_options = false;      // a rule option or --policy=FILE was given
    std::vector<std::string> files; // --policy=FILE; a leading '-': may be missing
};

// What a name is granted, all rules for it combined.
struct NameGrant {
    int level = POLICY_NONE;
    std::vector<const NameRules *> sources; // for --call / --broadcast rules
};

inline uint64_t policy_length_bit(size_t length)
{
    return uint64_t(1) << (length < 63 ? length : 63);
}

void policy_set_namespace(PolicyRules *rules, const char *namespace_name);
// The grant for a well-known name, including a namespaced N.<namespace>.
NameGrant policy_lookup(const PolicyRules *rules, const char *name);
int policy_level(const PolicyRules *rules, const char *name);
// The interface, member and path of `rule`; its argument conditions aside.
bool method_rule_matches(const MethodRule &rule, const char *interface, const char *member,
                         const char *path);
// Whether the grant allows the call or broadcast: talk allows all; else any
// rule whose method and path match and whose argument conditions all hold.
// `message`'s body is read only when no rule without conditions allows it
// and one with conditions might; without `message` no condition holds.
bool grant_allows_call(const NameGrant &grant, const char *interface, const char *member,
                       const char *path, DBusMessage *message = nullptr);
bool grant_allows_broadcast(const NameGrant &grant, const char *interface, const char *member,
                            const char *path, DBusMessage *message = nullptr);
