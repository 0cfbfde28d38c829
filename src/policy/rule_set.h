// The access policy's rules (--filter), and what they grant a name.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

// Each level includes the ones before it.
enum PolicyLevel : int { POLICY_NONE = 0, POLICY_SEE = 1, POLICY_TALK = 2, POLICY_OWN = 3 };

// A --call or --broadcast RULE: [METHOD][@PATH]. Empty strings match all.
struct MethodRule {
    std::string interface; // empty: any interface
    std::string member;    // empty: any member of `interface`
    std::string path;      // empty: any path
    bool path_subtree;     // `path` ends in /*: the path and everything below
};

struct NameRules {
    int level = POLICY_NONE;
    std::vector<MethodRule> calls;
    std::vector<MethodRule> broadcasts;
};

struct PolicyRules {
    std::unordered_map<std::string, NameRules> exact;
    // "org.example.*" is kept as "org.example": names are matched by walking
    // their own dot-prefixes, one hash lookup each.
    std::unordered_map<std::string, NameRules> prefix;
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

void policy_set_namespace(PolicyRules *rules, const char *namespace_name);
// The grant for a well-known name, including a namespaced N.<namespace>.
NameGrant policy_lookup(const PolicyRules *rules, const char *name);
int policy_level(const PolicyRules *rules, const char *name);
bool method_rule_matches(const MethodRule &rule, const char *interface, const char *member,
                         const char *path);
bool grant_allows_call(const NameGrant &grant, const char *interface, const char *member,
                       const char *path);
bool grant_allows_broadcast(const NameGrant &grant, const char *interface, const char *member,
                            const char *path);
