// The policy an audit writes, and the file it goes to.
#include "audit/policy_file.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/random.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

const char *const header =
    "# Access policy written by dbus-proxy-daemon --audit: what the clients below did.\n"
    "# Use it with --filter --policy=FILE; later audits to this file add to it.\n";

std::string trim(const std::string &s)
{
    const size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// `prefix` of a comment line, and what follows it; empty when it is not one.
std::string comment_value(const std::string &line, const char *prefix)
{
    const size_t n = std::strlen(prefix);
    return line.compare(0, n, prefix) == 0 ? trim(line.substr(n)) : std::string();
}

// What one entry costs: its text, and about what a set node and its strings
// take beyond it.
constexpr size_t entry_cost = 128;
// A path longer than this folds at once to its deepest ancestor within it,
// rather than a level at a time.
constexpr size_t long_path = 256;

size_t cost(const AuditRule &rule)
{
    return entry_cost + rule.kind.size() + rule.name.size() + rule.method.size() + rule.path.size();
}

bool same_group(const AuditRule &a, const AuditRule &b)
{
    return a.kind == b.kind && a.name == b.name && a.method == b.method && a.args == b.args;
}

bool subtree(const std::string &path)
{
    return path.size() >= 2 && path.compare(path.size() - 2, 2, "/*") == 0;
}

// The path a rule is about: "/a/b" for "/a/b" and "/a/b/*", "/" for "/*".
std::string base_of(const std::string &path)
{
    if (!subtree(path))
        return path;
    return path.size() == 2 ? "/" : path.substr(0, path.size() - 2);
}

size_t depth(const std::string &base)
{
    return base == "/" ? 0 : size_t(std::count(base.begin(), base.end(), '/'));
}

// `wide` (same group) grants everything `narrow` grants.
bool covers(const AuditRule &wide, const AuditRule &narrow)
{
    if (wide.path.empty())
        return true;
    if (narrow.path.empty())
        return false;
    if (!subtree(wide.path))
        return wide.path == narrow.path;
    const std::string base = base_of(wide.path), inner = base_of(narrow.path);
    return base == "/" || inner == base || inner.rfind(base + "/", 0) == 0;
}

// The rules of `rule`'s kind, name, method and conditions: one run of the
// set, which is sorted by name, kind, method, conditions, path. A rule with
// conditions never covers, nor is folded into, one with other conditions.
std::vector<AuditRule> group_of(const AuditPolicy &policy, const AuditRule &rule)
{
    std::vector<AuditRule> group;
    for (auto it = policy.rules.lower_bound({rule.kind, rule.name, rule.method, "", rule.args});
         it != policy.rules.end() && same_group(*it, rule); ++it)
        group.push_back(*it);
    return group;
}

// One fold of `rule`'s group: the deepest paths (and any too long) go up
// a level as subtree rules, and rules they now cover go. False: nothing
// left to fold (every path is "/*" or none).
bool fold_once(AuditPolicy *policy, const AuditRule &rule)
{
    std::vector<AuditRule> group = group_of(*policy, rule);
    size_t deepest = 0;
    for (const AuditRule &r : group)
        if (!r.path.empty())
            deepest = std::max(deepest, depth(base_of(r.path)));
    bool folded = false;
    for (AuditRule &r : group) {
        if (r.path.empty())
            continue;
        std::string base = base_of(r.path);
        if (base.size() > long_path) {
            base.resize(base.rfind('/', long_path));
        } else if (deepest > 0 && depth(base) == deepest) {
            base.resize(base.rfind('/'));
        } else {
            continue;
        }
        r.path = base.empty() ? "/*" : base + "/*";
        folded = true;
    }
    if (!folded)
        return false;
    for (const AuditRule &old : group_of(*policy, rule)) {
        policy->rules.erase(old);
        policy->bytes -= cost(old);
    }
    std::sort(group.begin(), group.end());
    group.erase(std::unique(group.begin(), group.end(),
                            [](const AuditRule &a, const AuditRule &b) { return a.path == b.path; }),
                group.end());
    for (const AuditRule &r : group) {
        const bool covered = std::any_of(group.begin(), group.end(), [&](const AuditRule &w) {
            return w.path != r.path && covers(w, r);
        });
        if (!covered && policy->rules.insert(r).second)
            policy->bytes += cost(r);
    }
    return true;
}

void overflow(AuditPolicy *policy, const std::string &note)
{
    if (!policy->overflowed)
        policy->notes.insert(note);
    policy->overflowed = true;
}

bool add_text(AuditPolicy *policy, std::set<std::string> *to, const std::string &text,
              size_t budget, const std::string &overflow_note)
{
    if (to->count(text))
        return true;
    if (policy->bytes + entry_cost + text.size() > budget) {
        overflow(policy, overflow_note);
        return false;
    }
    to->insert(text);
    policy->bytes += entry_cost + text.size();
    return true;
}

// Eight random bytes as hex: nobody can guess the next temporary name.
std::string random_suffix()
{
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != sizeof bytes)
        for (size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>(g_random_int());
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 0xf];
    }
    return hex;
}

bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

bool AuditRule::operator<(const AuditRule &other) const
{
    // Conditions before the path: rules that differ only in path stay
    // together, for folding.
    return std::tie(name, kind, method, args, path) <
           std::tie(other.name, other.kind, other.method, other.args, other.path);
}

std::string audit_rule_text(const AuditRule &rule)
{
    std::string text = rule.kind + " " + rule.name;
    if (!rule.method.empty())
        text += "=" + rule.method + (rule.path.empty() ? "" : "@" + rule.path) +
                (rule.args.empty() ? "" : "(" + rule.args + ")");
    return text;
}

bool audit_rule_covers(const AuditRule &rule, const char *interface, const char *member,
                       const char *path, const char *arg0)
{
    if (!rule.args.empty() && (!arg0 || rule.args != "arg0=" + std::string(arg0)))
        return false;
    const std::string &m = rule.method;
    if (m != "*") {
        const size_t dot = m.rfind('.');
        if (!interface || m.compare(0, dot, interface) != 0 || std::strlen(interface) != dot)
            return false;
        if (m.compare(dot + 1, std::string::npos, "*") != 0 && (!member || m.substr(dot + 1) != member))
            return false;
    }
    if (rule.path.empty())
        return true;
    if (!path)
        return false;
    const std::string &p = rule.path;
    if (p.size() >= 2 && p.compare(p.size() - 2, 2, "/*") == 0) {
        const std::string base = p.substr(0, p.size() - 2);
        return base.empty() || path == base || std::string(path).rfind(base + "/", 0) == 0;
    }
    return p == path;
}

std::vector<std::string> audit_policy_lines(const AuditPolicy &policy)
{
    std::map<std::string, int> strongest; // name -> 0 see, 1 call/broadcast, 2 talk, 3 own
    for (const AuditRule &rule : policy.rules) {
        const int level = rule.kind == "own" ? 3 : rule.kind == "talk" ? 2 : rule.kind == "see" ? 0 : 1;
        int &known = strongest[rule.name];
        known = std::max(known, level);
    }
    std::vector<std::string> lines;
    for (const AuditRule &rule : policy.rules) { // sorted by name
        const int level = strongest[rule.name];
        const bool covered = (rule.kind == "see" && level > 0) ||
                             ((rule.kind == "call" || rule.kind == "broadcast") && level >= 2) ||
                             (rule.kind == "talk" && level == 3);
        if (!covered)
            lines.push_back(audit_rule_text(rule));
    }
    return lines;
}

bool audit_policy_load(const std::string &path, AuditPolicy *policy, std::string *why)
{
    std::ifstream in(path);
    if (!in) {
        if (errno == ENOENT)
            return true;
        *why = std::strerror(errno);
        return false;
    }
    std::string raw;
    unsigned number = 0;
    while (std::getline(in, raw)) {
        ++number;
        const std::string line = trim(raw);
        if (line.empty())
            continue;
        if (line[0] == '#') {
            if (std::string client = comment_value(line, "# client:"); !client.empty())
                policy->clients.insert(client);
            else if (std::string note = comment_value(line, "# not granted:"); !note.empty())
                policy->notes.insert(note);
            continue;
        }
        std::istringstream words(line.substr(0, line.find('#')));
        AuditRule rule;
        std::string arg, extra;
        words >> rule.kind >> arg;
        static const std::set<std::string> kinds{"see", "talk", "own", "call", "broadcast"};
        if (!kinds.count(rule.kind) || arg.empty() || (words >> extra)) {
            *why = "line " + std::to_string(number) + " is not a policy rule: " + line;
            return false;
        }
        const size_t eq = arg.find('=');
        rule.name = arg.substr(0, eq);
        if (eq != std::string::npos) {
            std::string method_rule = arg.substr(eq + 1);
            if (const size_t open = method_rule.find('('); open != std::string::npos) {
                rule.args = method_rule.substr(open + 1);
                if (rule.args.ends_with(')'))
                    rule.args.pop_back();
                method_rule.resize(open);
            }
            const size_t at = method_rule.find('@');
            rule.method = method_rule.substr(0, at);
            if (rule.method.empty())
                rule.method = "*";
            if (at != std::string::npos)
                rule.path = method_rule.substr(at + 1);
        }
        policy->rules.insert(rule);
    }
    return true;
}

bool audit_policy_add(AuditPolicy *policy, const AuditRule &rule, size_t budget,
                      const std::string &overflow_note)
{
    for (const AuditRule &known : group_of(*policy, rule))
        if (covers(known, rule))
            return true;
    // Rules this one covers (a subtree rule from another client) go.
    for (const AuditRule &known : group_of(*policy, rule))
        if (covers(rule, known)) {
            policy->rules.erase(known);
            policy->bytes -= cost(known);
        }
    policy->rules.insert(rule);
    policy->bytes += cost(rule);
    // A rule alone of its kind gains nothing from a wider path, unless the
    // path itself is what is long.
    const bool alone = group_of(*policy, rule).size() == 1;
    if (!alone || rule.path.size() > long_path)
        while (policy->bytes > budget && fold_once(policy, rule)) {
        }
    // Folded with rules that were there before (which must stay), the
    // group holds no more than it did: keep it.
    if (policy->bytes <= budget || !alone)
        return true;
    // What is left of the group is this rule, folded: it goes.
    for (const AuditRule &mine : group_of(*policy, rule)) {
        policy->rules.erase(mine);
        policy->bytes -= cost(mine);
    }
    overflow(policy, overflow_note);
    return false;
}

bool audit_policy_add_note(AuditPolicy *policy, const std::string &note, size_t budget,
                           const std::string &overflow_note)
{
    return add_text(policy, &policy->notes, note, budget, overflow_note);
}

bool audit_policy_add_client(AuditPolicy *policy, const std::string &client, size_t budget,
                             const std::string &overflow_note)
{
    return add_text(policy, &policy->clients, client, budget, overflow_note);
}

void audit_policy_merge(AuditPolicy *to, const AuditPolicy &from, size_t budget,
                        const std::string &overflow_note)
{
    for (const std::string &client : from.clients)
        audit_policy_add_client(to, client, budget, overflow_note);
    for (const std::string &note : from.notes)
        audit_policy_add_note(to, note, budget, overflow_note);
    for (const AuditRule &rule : from.rules)
        audit_policy_add(to, rule, budget, overflow_note);
}

std::string audit_policy_text(const AuditPolicy &policy)
{
    std::string text = header;
    for (const std::string &client : policy.clients)
        text += "# client: " + client + "\n";
    for (const std::string &note : policy.notes)
        text += "# not granted: " + note + "\n";
    for (const std::string &line : audit_policy_lines(policy))
        text += line + "\n";
    return text;
}

bool audit_file_replace(const std::string &path, const std::string &text, std::string *why)
{
    // Beside the file, so that the rename stays on one file system.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // The file keeps its mode; a new one (or one replacing a link) gets
    // what the umask leaves of 0666, as any file the daemon makes.
    struct stat st {};
    const bool keep_mode = lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const mode_t mode = keep_mode ? st.st_mode & 0777 : 0666;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temporary = dir + "/." + base.substr(0, 200) + "." + random_suffix();
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    bool ok = (!keep_mode || fchmod(fd, mode) == 0) && write_all(fd, text) && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        *why = std::strerror(error);
        unlink(temporary.c_str());
        return false;
    }
    // The rename itself survives a crash once the directory is synced.
    if (const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
    return true;
}

bool audit_policy_write(const std::string &path, const AuditPolicy &policy, std::string *why)
{
    return audit_file_replace(path, audit_policy_text(policy), why);
}
