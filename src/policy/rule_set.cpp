// Looking up what a name is granted, and matching --call/--broadcast rules.
#include "policy/rule_set.h"

#include <cstring>

namespace {

void merge(NameGrant *grant, const NameRules *rules)
{
    if (!rules)
        return;
    if (rules->level > grant->level)
        grant->level = rules->level;
    if (!rules->calls.empty() || !rules->broadcasts.empty())
        grant->sources.push_back(rules);
}

const NameRules *find(const NameRulesMap &map, uint64_t lengths, std::string_view key)
{
    if (!(lengths & policy_length_bit(key.size())))
        return nullptr;
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

// A pattern of the last element: each beginning of that element that a
// pattern's length allows, one hash lookup each.
void element_lookup_into(const PolicyRules *rules, std::string_view name, NameGrant *grant)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return;
    for (size_t length = dot + 2; length <= name.size(); ++length)
        merge(grant, find(rules->element_prefix, rules->element_prefix_lengths,
                          name.substr(0, length)));
}

// The exact rule for `name`, then a prefix rule for the name itself and for
// each of its dot-prefixes: one hash lookup per name element.
void lookup_into(const PolicyRules *rules, std::string_view name, NameGrant *grant)
{
    merge(grant, find(rules->exact, rules->exact_lengths, name));
    if (!rules->element_prefix.empty())
        element_lookup_into(rules, name, grant);
    if (rules->prefix.empty())
        return;
    for (;;) {
        merge(grant, find(rules->prefix, rules->prefix_lengths, name));
        const size_t dot = name.rfind('.');
        if (dot == std::string_view::npos)
            break;
        name = name.substr(0, dot);
    }
}

bool path_matches(const MethodRule &rule, const char *path)
{
    if (rule.path.empty())
        return true;
    if (!path)
        return false;
    const size_t n = rule.path.size();
    if (std::strncmp(path, rule.path.c_str(), n) != 0)
        return false;
    if (path[n] == '\0')
        return true;
    // "/a/*" covers "/a/b", not "/ab"; "/" + "/*" is "every path".
    return rule.path_subtree && (path[n] == '/' || rule.path == "/");
}

} // namespace

void policy_set_namespace(PolicyRules *rules, const char *namespace_name)
{
    rules->namespace_suffix = namespace_name && *namespace_name
                                  ? std::string(".") + namespace_name
                                  : std::string();
}

NameGrant policy_lookup(const PolicyRules *rules, const char *name)
{
    NameGrant grant;
    if (!name || name[0] == ':')
        return grant;
    const std::string_view text(name);
    lookup_into(rules, text, &grant);
    const std::string &suffix = rules->namespace_suffix;
    if (!suffix.empty() && text.size() > suffix.size() && text.ends_with(suffix))
        lookup_into(rules, text.substr(0, text.size() - suffix.size()), &grant);
    return grant;
}

int policy_level(const PolicyRules *rules, const char *name)
{
    return policy_lookup(rules, name).level;
}

bool method_rule_matches(const MethodRule &rule, const char *interface, const char *member,
                         const char *path)
{
    if (!rule.interface.empty() && (!interface || rule.interface != interface))
        return false;
    if (!rule.member.empty() && (!member || rule.member != member))
        return false;
    return path_matches(rule, path);
}

namespace {

// The string and object path arguments of a message, read once, when a rule
// with conditions first needs them.
struct MessageArgs {
    DBusMessage *message;
    bool read = false;
    unsigned count = 0;                           // arguments read, at most 64
    const char *strings[POLICY_MAX_ARG + 1] = {}; // null: another type
};

void read_args(MessageArgs *args)
{
    args->read = true;
    DBusMessageIter iter;
    if (!dbus_message_iter_init(args->message, &iter))
        return;
    do {
        const int type = dbus_message_iter_get_arg_type(&iter);
        if (type == DBUS_TYPE_INVALID)
            break;
        if (type == DBUS_TYPE_STRING || type == DBUS_TYPE_OBJECT_PATH)
            dbus_message_iter_get_basic(&iter, &args->strings[args->count]);
        ++args->count;
    } while (args->count <= POLICY_MAX_ARG && dbus_message_iter_next(&iter));
}

bool conditions_hold(const MethodRule &rule, MessageArgs *args)
{
    if (!args->read)
        read_args(args);
    for (const ArgCondition &condition : rule.args) {
        // A missing argument, or one of another type, is null: no match.
        const char *value = args->strings[condition.index];
        if (!value || condition.value != value)
            return false;
    }
    return true;
}

// The rules with conditions that match the header, until one holds. Out of
// line: the arguments' buffer stays off the stack of calls it never sees.
[[gnu::noinline]] bool conditional_allows(const NameGrant &grant,
                                          std::vector<MethodRule> NameRules::*rules,
                                          const char *interface, const char *member,
                                          const char *path, DBusMessage *message)
{
    MessageArgs args{message};
    for (const NameRules *source : grant.sources)
        for (const MethodRule &rule : source->*rules)
            if (!rule.args.empty() && method_rule_matches(rule, interface, member, path) &&
                conditions_hold(rule, &args))
                return true;
    return false;
}

// Talk covers every method; below it, the --call or --broadcast rules of
// every source of the grant. A rule without conditions decides on the
// header alone, so those are tried first: the body is read only when none
// of them allows and a rule with conditions matches the header.
bool grant_allows(const NameGrant &grant, std::vector<MethodRule> NameRules::*rules,
                  const char *interface, const char *member, const char *path,
                  DBusMessage *message)
{
    if (grant.level >= POLICY_TALK)
        return true;
    bool conditional = false;
    for (const NameRules *source : grant.sources)
        for (const MethodRule &rule : source->*rules)
            if (method_rule_matches(rule, interface, member, path)) {
                if (rule.args.empty())
                    return true;
                conditional = true;
            }
    return conditional && message &&
           conditional_allows(grant, rules, interface, member, path, message);
}

} // namespace

bool grant_allows_call(const NameGrant &grant, const char *interface, const char *member,
                       const char *path, DBusMessage *message)
{
    return grant_allows(grant, &NameRules::calls, interface, member, path, message);
}

bool grant_allows_broadcast(const NameGrant &grant, const char *interface, const char *member,
                            const char *path, DBusMessage *message)
{
    return grant_allows(grant, &NameRules::broadcasts, interface, member, path, message);
}
