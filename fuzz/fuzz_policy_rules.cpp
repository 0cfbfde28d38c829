// Feeds arbitrary policy files to the rule parser, then looks up names and
// matches calls against what it built.
#include "policy/policy.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);

    PolicyRules rules;
    policy_set_namespace(&rules, "docker");
    unsigned line = 0;
    std::string why;
    const int result = policy_parse_text(&rules, input, &line, &why);
    if (result != 0 && (line == 0 || why.empty()))
        std::abort(); // a refusal names its line and reason
    if (result == 0 && !rules.exact.empty() && rules.rule_count == 0)
        std::abort();

    // Every word of the input as a name, interface, member and path.
    std::istringstream words(input);
    for (std::string word; words >> word;) {
        const NameGrant grant = policy_lookup(&rules, word.c_str());
        if (grant.level < POLICY_NONE || grant.level > POLICY_OWN)
            std::abort();
        grant_allows_call(grant, word.c_str(), word.c_str(), word.c_str());
        grant_allows_broadcast(grant, word.c_str(), nullptr, word.c_str());
    }
    return 0;
}
