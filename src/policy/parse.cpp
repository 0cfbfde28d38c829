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

// A byte a condition's VALUE may hold. There is no escaping: ',' and the
// parentheses end the value, '#' starts a policy file's comment, and white
// space splits its words. The arguments worth a condition (interface names,
// keys, object paths) hold none of them.
bool value_byte(unsigned char c)
{
    return c > ' ' && c != 0x7f && c != ',' && c != '(' && c != ')' && c != '#';
}

// One argN=VALUE: N a decimal from 0 to 63 without leading zeros.
bool parse_condition(const std::string &text, MethodRule *rule, std::string *why)
{
    const size_t eq = text.find('=');
    const std::string key = text.substr(0, eq);
    const std::string digits = key.compare(0, 3, "arg") == 0 ? key.substr(3) : std::string();
    if (eq == std::string::npos || digits.empty() || digits.size() > 2 ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        (digits.size() > 1 && digits[0] == '0')) {
        *why = "a condition is argN=VALUE, N from 0 to 63: " + text;
        return false;
    }
    const unsigned index = unsigned(std::stoul(digits));
    if (index > POLICY_MAX_ARG) {
        *why = "argument number out of range (0 to 63): " + text;
        return false;
    }
    const std::string value = text.substr(eq + 1);
    if (value.empty()) {
        *why = "a condition needs a value: " + text;
        return false;
    }
    for (const char c : value)
        if (!value_byte(static_cast<unsigned char>(c))) {
            *why = "a condition's value may hold no blank, control character, ',', '(', ')' "
                   "or '#': " + text;
            return false;
        }
    for (const ArgCondition &other : rule->args)
        if (other.index == index) {
            *why = "argument " + digits + " has two conditions: " + text;
            return false;
        }
    rule->args.push_back({index, value});
    return true;
}

// "(argN=VALUE[,argN=VALUE]...)" at the end of a rule.
bool parse_conditions(const std::string &text, MethodRule *rule, std::string *why)
{
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') {
        *why = "unbalanced parenthesis: " + text;
        return false;
    }
    const std::string list = text.substr(1, text.size() - 2);
    if (list.find_first_of("()") != std::string::npos) {
        *why = "unbalanced parenthesis: " + text;
        return false;
    }
    if (list.empty()) {
        *why = "empty conditions: " + text;
        return false;
    }
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        if (!parse_condition(list.substr(start, comma - start), rule, why))
            return false;
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

bool parse_method_rule(const std::string &text, MethodRule *rule, std::string *why)
{
    *rule = MethodRule{};
    // No method or path holds a parenthesis: the first one opens the conditions.
    // Read first, so that a stray one is named as such.
    const size_t open = text.find_first_of("()");
    if (open != std::string::npos && !parse_conditions(text.substr(open), rule, why)) {
        *why = "in " + text + ": " + *why;
        return false;
    }
    const std::string head = text.substr(0, open);
    const size_t at = head.find('@');
    if (!parse_method(head.substr(0, at), rule, why))
        return false;
    return at == std::string::npos || parse_path(head.substr(at + 1), rule, why);
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
