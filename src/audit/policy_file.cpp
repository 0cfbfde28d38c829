// The policy an audit writes, and the file it goes to.
#include "audit/policy_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
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

} // namespace

bool AuditRule::operator<(const AuditRule &other) const
{
    return std::tie(name, kind, method, path, args) <
           std::tie(other.name, other.kind, other.method, other.path, other.args);
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

bool audit_policy_write(const std::string &path, const AuditPolicy &policy, std::string *why)
{
    std::string text = header;
    for (const std::string &client : policy.clients)
        text += "# client: " + client + "\n";
    for (const std::string &note : policy.notes)
        text += "# not granted: " + note + "\n";
    for (const std::string &line : audit_policy_lines(policy))
        text += line + "\n";

    // Beside the file, so that the rename stays on one file system.
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    FILE *file = std::fopen(temporary.c_str(), "w");
    bool ok = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = ok && std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    const int error = errno;
    if (file && std::fclose(file) != 0)
        ok = false;
    if (ok && std::rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    *why = std::strerror(ok ? errno : error);
    std::remove(temporary.c_str());
    return false;
}
