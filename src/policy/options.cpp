// The policy's command-line options.
#include "policy/options.h"

#include "policy/parse.h"

#include <cstdlib>
#include <cstring>

namespace {

PolicyRules *staged(ProxyConfig *config)
{
    if (!config->policy)
        config->policy = new PolicyRules;
    return config->policy;
}

} // namespace

int policy_command_line_option(ProxyConfig *config, const char *arg, std::string *why)
{
    std::string reason;
    if (!why)
        why = &reason;
    if (std::strcmp(arg, "--filter") == 0) {
        staged(config)->filter_option = true;
        return 1;
    }
    static const char *const kinds[] = {"see", "talk", "own", "call", "broadcast"};
    for (const char *kind : kinds) {
        const size_t n = std::strlen(kind);
        if (std::strncmp(arg, "--", 2) != 0 || std::strncmp(arg + 2, kind, n) != 0 ||
            arg[2 + n] != '=')
            continue;
        PolicyRules *rules = staged(config);
        rules->rule_options = true;
        return policy_add_rule(rules, kind, arg + 3 + n, why) == 0 ? 1 : -1;
    }
    if (std::strncmp(arg, "--policy=", 9) == 0) {
        if (arg[9] == '\0' || std::strcmp(arg + 9, "-") == 0) {
            *why = "no FILE";
            return -1;
        }
        PolicyRules *rules = staged(config);
        rules->files.push_back(arg + 9);
        // An optional file turns filtering on by being there (see below).
        if (arg[9] != '-')
            rules->rule_options = true;
        return 1;
    }
    return 0;
}

int policy_command_line_done(ProxyConfig *config)
{
    PolicyRules *rules = config->policy;
    if (!rules)
        return 0;
    if (rules->rule_options && !rules->filter_option)
        return -1;
    bool any_found = false;
    for (const std::string &entry : rules->files) {
        const bool optional = entry[0] == '-';
        bool found = false;
        if (policy_load_file(rules, entry.c_str() + (optional ? 1 : 0), optional, &found) != 0)
            std::exit(1);
        any_found = any_found || found;
    }
    // --policy=-FILE is how the units say "filter when the administrator
    // wrote a policy": without the file, nothing changes.
    if (!rules->filter_option && !any_found) {
        policy_config_free(config);
        return 0;
    }
    policy_set_namespace(rules, config->namespace_name);
    rules->files.clear();
    return 0;
}

void policy_config_free(ProxyConfig *config)
{
    delete config->policy;
    config->policy = nullptr;
}
