// Reading rules from options and policy files.
#include "policy/parse.h"

#include "log/log.h"

#include <dbus/dbus.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <sstream>

namespace {

bool valid_well_known(const std::string &name)
{
    return !name.empty() && name[0] != ':' && dbus_validate_bus_name(name.c_str(), nullptr);
}

// METHOD: "*", "INTERFACE.*" or "INTERFACE.MEMBER"; empty: any.
bool parse_method(const std::string &text, MethodRule *rule, std::string *why)
{
    if (text.empty() || text == "*")
        return true;
    const size_t dot = text.rfind('.');
    if (dot == std::string::npos) {
        *why = "method must be *, INTERFACE.* or INTERFACE.MEMBER: " + text;
        return false;
    }
    rule->interface = text.substr(0, dot);
    const std::string member = text.substr(dot + 1);
    if (!dbus_validate_interface(rule->interface.c_str(), nullptr)) {
        *why = "invalid interface: " + rule->interface;
        return false;
    }
    if (member != "*") {
        if (!dbus_validate_member(member.c_str(), nullptr)) {
            *why = "invalid member: " + member;
            return false;
        }
        rule->member = member;
    }
    return true;
}

bool parse_path(const std::string &text, MethodRule *rule, std::string *why)
{
    std::string path = text;
    if (path == "/*") {
        return true; // every path
    }
    if (path.size() > 2 && path.compare(path.size() - 2, 2, "/*") == 0) {
        rule->path_subtree = true;
        path.resize(path.size() - 2);
    }
    if (!dbus_validate_path(path.c_str(), nullptr)) {
        *why = "invalid object path: " + text;
        return false;
    }
    rule->path = path;
    return true;
}

bool parse_method_rule(const std::string &text, MethodRule *rule, std::string *why)
{
    *rule = MethodRule{};
    const size_t at = text.find('@');
    if (!parse_method(text.substr(0, at), rule, why))
        return false;
    return at == std::string::npos || parse_path(text.substr(at + 1), rule, why);
}

std::string trim(const std::string &s)
{
    const char *blank = " \t\r\n\f\v";
    const size_t first = s.find_first_not_of(blank);
    if (first == std::string::npos)
        return "";
    return s.substr(first, s.find_last_not_of(blank) - first + 1);
}

} // namespace

int policy_add_rule(PolicyRules *rules, const char *kind, const char *arg, std::string *why)
{
    int level = POLICY_NONE;
    bool with_rule = false;
    if (std::strcmp(kind, "see") == 0)
        level = POLICY_SEE;
    else if (std::strcmp(kind, "talk") == 0)
        level = POLICY_TALK;
    else if (std::strcmp(kind, "own") == 0)
        level = POLICY_OWN;
    else if (std::strcmp(kind, "call") == 0 || std::strcmp(kind, "broadcast") == 0)
        with_rule = true;
    else {
        *why = std::string("unknown rule: ") + kind;
        return -1;
    }

    std::string name = arg;
    MethodRule method;
    if (with_rule) {
        const size_t eq = name.find('=');
        if (eq == std::string::npos) {
            *why = std::string(kind) + " needs NAME=RULE";
            return -1;
        }
        if (!parse_method_rule(name.substr(eq + 1), &method, why))
            return -1;
        name.resize(eq);
        // A name one may call or hear from is one one may see.
        level = POLICY_SEE;
    }

    // NAME, NAME.* (the name and everything below it) or a pattern of the
    // last element, such as org.kde.StatusNotifierItem-* (that text and any
    // more without a dot): the text before the '*' is itself a valid name.
    NameRulesMap *map = &rules->exact;
    uint64_t *lengths = &rules->exact_lengths;
    if (name.size() > 2 && name.compare(name.size() - 2, 2, ".*") == 0) {
        map = &rules->prefix;
        lengths = &rules->prefix_lengths;
        name.resize(name.size() - 2);
    } else if (!name.empty() && name.back() == '*') {
        map = &rules->element_prefix;
        lengths = &rules->element_prefix_lengths;
        name.pop_back();
    }
    if (!valid_well_known(name)) {
        *why = "invalid name: " + std::string(arg);
        return -1;
    }

    NameRules &entry = (*map)[name];
    *lengths |= policy_length_bit(name.size());
    if (level > entry.level)
        entry.level = level;
    if (with_rule)
        (kind[0] == 'c' ? entry.calls : entry.broadcasts).push_back(method);
    ++rules->rule_count;
    return 0;
}

int policy_parse_text(PolicyRules *rules, const std::string &text, unsigned *line,
                      std::string *why)
{
    std::istringstream in(text);
    std::string raw;
    unsigned number = 0;
    while (std::getline(in, raw)) {
        ++number;
        // No name, method or path may hold '#': the rest of the line is a comment.
        std::string content = trim(raw.substr(0, raw.find('#')));
        if (content.empty())
            continue;
        const size_t blank = content.find_first_of(" \t");
        if (blank == std::string::npos) {
            *line = number;
            *why = "expected KIND NAME, found: " + content;
            return -1;
        }
        const std::string kind = content.substr(0, blank);
        const std::string arg = trim(content.substr(blank));
        if (arg.find_first_of(" \t") != std::string::npos) {
            *line = number;
            *why = "one rule per line: " + content;
            return -1;
        }
        if (policy_add_rule(rules, kind.c_str(), arg.c_str(), why) != 0) {
            *line = number;
            return -1;
        }
    }
    return 0;
}

int policy_load_file(PolicyRules *rules, const char *path, bool missing_ok, bool *found)
{
    *found = false;
    FILE *file = std::fopen(path, "rb");
    if (!file) {
        const int err = errno;
        if (missing_ok && err == ENOENT)
            return 0;
        LOG_FATAL("Cannot read policy file %s: %s\n", path, std::strerror(err));
        return -1;
    }
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    // A directory opens but does not read: an error, not an empty policy.
    const int err = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (err) {
        LOG_FATAL("Cannot read policy file %s: %s\n", path, std::strerror(err));
        return -1;
    }
    *found = true;
    unsigned line = 0;
    std::string why;
    if (policy_parse_text(rules, text, &line, &why) != 0) {
        LOG_FATAL("Malformed policy file %s, line %u: %s\n", path, line, why.c_str());
        return -1;
    }
    return 0;
}
