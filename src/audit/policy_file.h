// The policy an audit writes: rules in the --policy file format, made as
// small as they can be, merged with what the file already holds.
#pragma once

#include <set>
#include <string>
#include <vector>

// One line: KIND NAME[=METHOD[@PATH][(ARGS)]]. `method` is "*",
// "INTERFACE.*" or "INTERFACE.MEMBER" for call and broadcast rules, empty for
// the others; `path` empty (any), exact, or ending in "/*"; `args` empty or
// the rule's conditions, such as "arg0=org.example.Iface".
struct AuditRule {
    std::string kind; // see, talk, own, call, broadcast
    std::string name;
    std::string method;
    std::string path;
    std::string args = {};
    bool operator<(const AuditRule &other) const;
};

std::string audit_rule_text(const AuditRule &rule);
// True when `rule` (call or broadcast) covers INTERFACE.MEMBER at PATH, with
// `arg0` the message's first argument when the audit conditions on it; a rule
// with other conditions covers nothing.
bool audit_rule_covers(const AuditRule &rule, const char *interface, const char *member,
                       const char *path, const char *arg0 = nullptr);

struct AuditPolicy {
    std::set<AuditRule> rules;
    std::set<std::string> clients; // who it was written for
    std::set<std::string> notes;    // what no rule can grant
};

// The lines, sorted by name: rules that another rule covers are left out
// (own covers everything of its name; any rule of a name lets one see it).
std::vector<std::string> audit_policy_lines(const AuditPolicy &policy);
// Reads a file this audit wrote before (or a hand-written policy with the
// same kinds); a missing file is empty. False with `why` when unreadable.
bool audit_policy_load(const std::string &path, AuditPolicy *policy, std::string *why);
// Replaces `path` at once (a temporary file renamed over it).
bool audit_policy_write(const std::string &path, const AuditPolicy &policy, std::string *why);
