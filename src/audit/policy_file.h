// The policy an audit writes: rules in the --policy file format, made as
// small as they can be, merged with what the file already holds.
#pragma once

#include <cstddef>
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

// Notes and client names hold client text already escaped (log_escape):
// each is one line of printable text.
struct AuditPolicy {
    std::set<AuditRule> rules;
    std::set<std::string> clients; // who it was written for
    std::set<std::string> notes;    // what no rule can grant
    size_t bytes = 0;               // what the adds below counted in
    bool overflowed = false;        // something was left out for the budget
};

// Adds `rule` unless a rule of its kind, name and method covers it already.
// When the policy would then hold more than `budget` bytes, the paths of
// that kind, name and method fold into subtree rules (`/a/b/c` and `/a/b/d`
// into `/a/b/*`), one level at a time and very long paths at once, until it
// fits; a rule that still does not fit is left out, and `overflow_note` is
// added (once, beyond the budget) to say so. False: left out.
bool audit_policy_add(AuditPolicy *policy, const AuditRule &rule, size_t budget,
                      const std::string &overflow_note);
// The same for a `# not granted:` note and a `# client:` name.
bool audit_policy_add_note(AuditPolicy *policy, const std::string &note, size_t budget,
                           const std::string &overflow_note);
bool audit_policy_add_client(AuditPolicy *policy, const std::string &client, size_t budget,
                             const std::string &overflow_note);
// Everything of `from` added to `to` within `budget`.
void audit_policy_merge(AuditPolicy *to, const AuditPolicy &from, size_t budget,
                        const std::string &overflow_note);

// The lines, sorted by name: rules that another rule covers are left out
// (own covers everything of its name; any rule of a name lets one see it).
std::vector<std::string> audit_policy_lines(const AuditPolicy &policy);
// The whole file: a header, the clients, the notes, the lines.
std::string audit_policy_text(const AuditPolicy &policy);
// Reads a file this audit wrote before (or a hand-written policy with the
// same kinds); a missing file is empty. False with `why` when unreadable.
bool audit_policy_load(const std::string &path, AuditPolicy *policy, std::string *why);
// Replaces `path` with `text` at once: a new file, made exclusively under
// an unpredictable name in the same directory (never through a name or
// link that exists), with the mode `path` has (0666 less the umask when it
// is new or not a regular file), written, synced and renamed over `path`.
// A link at `path` is replaced, never followed. Safe on any thread.
bool audit_file_replace(const std::string &path, const std::string &text, std::string *why);
// audit_policy_text written with audit_file_replace.
bool audit_policy_write(const std::string &path, const AuditPolicy &policy, std::string *why);
