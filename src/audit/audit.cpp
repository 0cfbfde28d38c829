// The audit: what each client does, and the policy that allows exactly that.
#include "audit/audit.h"

#include "audit/policy_file.h"
#include "log/log.h"
#include "policy/client_side.h"
#include "util/message.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

// Distinct things logged, and calls awaiting a reply, per client: a client
// that calls ever new paths must not grow the daemon without bound.
constexpr size_t max_things = 4096;
constexpr size_t max_pending = 4096;

struct ClientAudit {
    std::string unique;  // the client's name on the bus
    std::string program; // its command name, when its process is known
    unsigned long pid = 0; // its process id, when known
    std::string label;   // "python3, :1.5" or ":1.5"
    std::set<std::string> logged;
    bool full = false;
    AuditPolicy policy;
    std::unordered_map<uint32_t, std::string> called;      // client serial -> well-known name
    std::unordered_map<uint32_t, std::string> owner_asked; // GetNameOwner serial -> name
    std::unordered_set<std::string> callers;               // host peers that called the client
    std::map<std::string, std::set<std::string>> names_of; // unique name -> well-known names
};

struct AuditState {
    bool on = false;
    std::string file;    // empty: the policies go to the log
    AuditPolicy written; // what the file holds
    std::unordered_map<ConnectionPair *, ClientAudit> clients;
};

AuditState audit;

// Asked for explicitly, so shown whatever --verbose says, with a prefix of
// its own in the log's format.
void print_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void print_line(const char *fmt, ...)
{
    std::printf("[AUDIT dbus-proxy-daemon (%i)] ", static_cast<int>(getpid()));
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::putchar('\n');
}

bool is(const char *a, const char *b)
{
    return a && b && std::strcmp(a, b) == 0;
}

bool well_known(const std::string &name)
{
    return !name.empty() && name[0] != ':' && name != DBUS_SERVICE_DBUS &&
           dbus_validate_bus_name(name.c_str(), nullptr);
}

std::string method_of(const char *interface, const char *member)
{
    if (!interface)
        return "*";
    return std::string(interface) + "." + (member ? member : "*");
}

std::string what(const char *interface, const char *member, const char *path)
{
    return method_of(interface, member) + " at " + (path ? path : "(no path)");
}

std::string program_of(DBusConnection *client)
{
    unsigned long pid = 0;
    if (!dbus_connection_get_unix_process_id(client, &pid))
        return "";
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string comm;
    std::getline(in, comm);
    return comm;
}

ClientAudit &client_of(ConnectionPair *pair)
{
    auto [it, added] = audit.clients.try_emplace(pair);
    ClientAudit &c = it->second;
    if (added) {
        const char *unique = pair->server ? dbus_bus_get_unique_name(pair->server) : nullptr;
        c.unique = unique ? unique : "(unnamed client)";
        c.program = program_of(pair->client);
        if (!dbus_connection_get_unix_process_id(pair->client, &c.pid))
            c.pid = 0;
        c.label = c.program.empty() ? c.unique : c.program + ", " + c.unique;
        c.policy.clients.insert(c.program.empty() ? c.unique : c.program);
    }
    return c;
}

// Logs `thing` the first time the client does it; true then.
bool note(ClientAudit &c, const std::string &thing)
{
    if (c.full || c.logged.count(thing))
        return false;
    if (c.logged.size() >= max_things) {
        c.full = true;
        print_line("%s did more than %zu distinct things; the rest is neither logged nor in its "
                   "policy", c.unique.c_str(), max_things);
        c.policy.notes.insert(c.label + " did more than " + std::to_string(max_things) +
                              " distinct things: this policy is incomplete");
        return false;
    }
    c.logged.insert(thing);
    print_line("%s %s", c.unique.c_str(), thing.c_str());
    return true;
}

void remember(std::unordered_map<uint32_t, std::string> &pending, DBusMessage *call,
              const std::string &name)
{
    if (dbus_message_get_no_reply(call))
        return;
    if (pending.size() >= max_pending)
        pending.clear(); // calls that were never answered
    pending[dbus_message_get_serial(call)] = name;
}

// key -> value of a match rule; false when it cannot be read.
bool parse_match_rule(const char *rule, std::map<std::string, std::string> *keys)
{
    const char *p = rule;
    while (*p) {
        while (*p == ',' || *p == ' ')
            ++p;
        if (!*p)
            break;
        const char *eq = std::strchr(p, '=');
        if (!eq)
            return false;
        std::string key(p, eq), value;
        p = eq + 1;
        bool quoted = false;
        for (; *p && (quoted || *p != ','); ++p) {
            if (*p == '\'')
                quoted = !quoted;
            else if (!quoted && p[0] == '\\' && p[1] == '\'')
                value += *++p;
            else
                value += *p;
        }
        if (quoted)
            return false;
        (*keys)[key] = value;
    }
    return true;
}

void subscribed(ClientAudit &c, const char *rule)
{
    std::map<std::string, std::string> keys;
    if (!rule || !parse_match_rule(rule, &keys))
        return;
    const std::string &sender = keys["sender"];
    if (sender == DBUS_SERVICE_DBUS || keys["member"] == "NameOwnerChanged") {
        const std::string &name = keys["arg0"];
        if (well_known(name) && note(c, "watches who owns " + name))
            c.policy.rules.insert({"see", name, "", ""});
        return;
    }
    if (!well_known(sender)) {
        note(c, "subscribed to signals matching " + std::string(rule));
        return;
    }
    const std::string &interface = keys["interface"], &member = keys["member"];
    AuditRule broadcast{"broadcast", sender, "*", ""};
    if (!interface.empty() && dbus_validate_interface(interface.c_str(), nullptr))
        broadcast.method = interface + "." +
                           (dbus_validate_member(member.c_str(), nullptr) ? member : "*");
    if (dbus_validate_path(keys["path"].c_str(), nullptr))
        broadcast.path = keys["path"];
    else if (const std::string &space = keys["path_namespace"];
             dbus_validate_path(space.c_str(), nullptr))
        broadcast.path = space == "/" ? "/*" : space + "/*";
    if (note(c, "subscribed to signals of " + sender + ": " + broadcast.method +
                    (broadcast.path.empty() ? "" : " at " + broadcast.path)))
        c.policy.rules.insert(broadcast);
}

// Qt names a tray item org.kde.StatusNotifierItem-PID-N, and the next
// launch has another pid: a name whose last element carries the client's
// process id is granted as a pattern of that element, from the pid on
// (org.kde.StatusNotifierItem-*).
std::string without_pid(const std::string &name, unsigned long pid)
{
    if (!pid)
        return name;
    const std::string digits = std::to_string(pid);
    const size_t element = name.rfind('.') + 1;
    auto digit = [&](size_t i) { return name[i] >= '0' && name[i] <= '9'; };
    for (size_t at = name.find(digits, element); at != std::string::npos;
         at = name.find(digits, at + 1)) {
        const size_t end = at + digits.size();
        if (at > element && !digit(at - 1) && (end == name.size() || !digit(end)))
            return name.substr(0, at) + "*";
    }
    return name;
}

void bus_call(ClientAudit &c, DBusMessage *call)
{
    const char *member = dbus_message_get_member(call);
    static const char *const plain[] = {"Hello", "GetId", "ListNames", "ListActivatableNames",
                                        "RemoveMatch", "ReleaseName"};
    for (const char *name : plain)
        if (is(member, name))
            return;
    if (is(dbus_message_get_interface(call), DBUS_INTERFACE_PEER))
        return;
    const char *arg = first_string_arg(call);
    if (is(member, "AddMatch")) {
        subscribed(c, arg);
    } else if (is(member, "RequestName")) {
        if (arg && well_known(arg) && note(c, "asked to own " + std::string(arg)))
            c.policy.rules.insert({"own", without_pid(arg, c.pid), "", ""});
    } else if (policy_is_name_query(member)) {
        if (!arg || !well_known(arg))
            return;
        if (is(member, "GetNameOwner"))
            remember(c.owner_asked, call, arg);
        if (note(c, "asked the bus about " + std::string(arg)))
            c.policy.rules.insert({"see", arg, "", ""});
    } else if (note(c, "called the bus's " + std::string(member ? member : "(no member)"))) {
        c.policy.notes.insert(c.label + " called the bus's " + (member ? member : "(no member)") +
                              ", which the policy does not allow");
    }
}

void learn_owner(ClientAudit &c, const std::string &name, const char *owner)
{
    if (owner && owner[0] == ':')
        c.names_of[owner].insert(name);
}

void reply(ClientAudit &c, DBusMessage *message)
{
    const uint32_t serial = dbus_message_get_reply_serial(message);
    const bool returned = dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
    if (auto asked = c.owner_asked.find(serial); asked != c.owner_asked.end()) {
        if (returned)
            learn_owner(c, asked->second, first_string_arg(message));
        c.owner_asked.erase(asked);
    }
    // Who answers a call to a name owns it.
    if (auto call = c.called.find(serial); call != c.called.end()) {
        learn_owner(c, call->second, dbus_message_get_sender(message));
        c.called.erase(call);
    }
}

void owner_changed(ClientAudit &c, DBusMessage *signal)
{
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (!dbus_message_get_args(signal, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                               &old_owner, DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID) ||
        name[0] == ':')
        return;
    if (auto it = c.names_of.find(old_owner); it != c.names_of.end())
        it->second.erase(name);
    learn_owner(c, name, new_owner);
}

bool signal_allowed(const AuditPolicy &policy, const std::set<std::string> &names,
                    DBusMessage *signal)
{
    for (const AuditRule &rule : policy.rules)
        if (names.count(rule.name) &&
            (rule.kind == "own" || rule.kind == "talk" ||
             (rule.kind == "broadcast" &&
              audit_rule_covers(rule, dbus_message_get_interface(signal),
                                dbus_message_get_member(signal), dbus_message_get_path(signal)))))
            return true;
    return false;
}

void broadcast_signal(ClientAudit &c, DBusMessage *signal, bool withheld)
{
    const char *sender = dbus_message_get_sender(signal);
    if (!sender)
        return;
    const char *interface = dbus_message_get_interface(signal);
    const char *member = dbus_message_get_member(signal);
    const char *path = dbus_message_get_path(signal);
    const std::string thing = what(interface, member, path);
    const auto names = c.names_of.find(sender);
    if (names == c.names_of.end() || names->second.empty()) {
        if (note(c, "received signal " + thing + " from " + sender + ", which owns no name it used"))
            c.policy.notes.insert(c.label + " received signal " + thing + " from " + sender +
                                  ", which owned no name it used");
    } else {
        const std::string &name = *names->second.begin();
        if (note(c, "received signal " + thing + " from " + name) &&
            !signal_allowed(c.policy, names->second, signal))
            c.policy.rules.insert({"broadcast", name, method_of(interface, member), path ? path : ""});
    }
    if (withheld)
        note(c, "was not given signal " + thing + " from " + sender + " (the policy dropped it)");
}

void report(ClientAudit &c)
{
    const std::vector<std::string> lines = audit_policy_lines(c.policy);
    print_line("policy for %s:%s", c.label.c_str(), lines.empty() ? " nothing to grant" : "");
    for (const std::string &note : c.policy.notes)
        print_line("  # not granted: %s", note.c_str());
    for (const std::string &line : lines)
        print_line("  %s", line.c_str());
}

void merge(const AuditPolicy &from)
{
    AuditPolicy &to = audit.written;
    to.rules.insert(from.rules.begin(), from.rules.end());
    to.clients.insert(from.clients.begin(), from.clients.end());
    to.notes.insert(from.notes.begin(), from.notes.end());
}

void write_file(const char *whose)
{
    std::string why;
    if (audit_policy_write(audit.file, audit.written, &why))
        print_line("wrote the policy for %s to %s", whose, audit.file.c_str());
    else
        print_line("cannot write the policy for %s to %s: %s", whose, audit.file.c_str(),
                   why.c_str());
}

} // namespace

int audit_command_line_option(const char *arg)
{
    if (std::strcmp(arg, "--audit") == 0) {
        audit.on = true;
        return 1;
    }
    if (std::strncmp(arg, "--audit=", 8) != 0)
        return 0;
    if (arg[8] == '\0')
        return -1;
    audit.on = true;
    audit.file = arg + 8;
    audit.written = AuditPolicy{};
    std::string why;
    if (!audit_policy_load(audit.file, &audit.written, &why)) {
        LOG_FATAL("Cannot add to the audit's policy file %s: %s\n", audit.file.c_str(),
                  why.c_str());
        std::exit(1);
    }
    return 1;
}

bool audit_enabled()
{
    return audit.on;
}

void audit_client_message(ConnectionPair *pair, DBusMessage *message)
{
    if (!audit.on)
        return;
    ClientAudit &c = client_of(pair);
    const char *interface = dbus_message_get_interface(message);
    const char *member = dbus_message_get_member(message);
    const char *path = dbus_message_get_path(message);
    const int type = dbus_message_get_type(message);
    if (type == DBUS_MESSAGE_TYPE_SIGNAL) {
        note(c, "emitted signal " + what(interface, member, path));
        return;
    }
    const char *destination = dbus_message_get_destination(message);
    if (type != DBUS_MESSAGE_TYPE_METHOD_CALL || !destination)
        return;
    if (is(destination, DBUS_SERVICE_DBUS)) {
        bus_call(c, message);
        return;
    }
    const std::string thing = what(interface, member, path);
    AuditRule call{"call", destination, method_of(interface, member), path ? path : ""};
    if (destination[0] != ':') {
        remember(c.called, message, destination);
        if (note(c, "called " + std::string(destination) + " " + thing))
            c.policy.rules.insert(call);
        return;
    }
    if (c.callers.count(destination) || c.unique == destination) {
        note(c, "called back " + std::string(destination) + " " + thing);
        return;
    }
    const auto names = c.names_of.find(destination);
    if (names != c.names_of.end() && !names->second.empty()) {
        call.name = *names->second.begin();
        if (note(c, "called " + call.name + " (" + destination + ") " + thing))
            c.policy.rules.insert(call);
    } else if (note(c, "called " + std::string(destination) + " " + thing +
                           ", which owns no name it used")) {
        c.policy.notes.insert(c.label + " called " + destination + " " + thing +
                              ", which owned no name it used");
    }
}

void audit_refused(ConnectionPair *pair, DBusMessage *message)
{
    if (!audit.on)
        return;
    const char *destination = dbus_message_get_destination(message);
    note(client_of(pair), "was refused " + std::string(destination ? destination : "(no destination)") +
                              " " + what(dbus_message_get_interface(message),
                                         dbus_message_get_member(message),
                                         dbus_message_get_path(message)));
}

void audit_bus_message(ConnectionPair *pair, DBusMessage *message, bool withheld)
{
    if (!audit.on)
        return;
    ClientAudit &c = client_of(pair);
    switch (dbus_message_get_type(message)) {
    case DBUS_MESSAGE_TYPE_METHOD_RETURN:
    case DBUS_MESSAGE_TYPE_ERROR:
        reply(c, message);
        return;
    case DBUS_MESSAGE_TYPE_METHOD_CALL:
        if (const char *sender = dbus_message_get_sender(message)) {
            c.callers.insert(sender);
            note(c, "was called " +
                        what(dbus_message_get_interface(message), dbus_message_get_member(message),
                             dbus_message_get_path(message)) +
                        " by " + sender);
        }
        return;
    case DBUS_MESSAGE_TYPE_SIGNAL:
        if (is(dbus_message_get_sender(message), DBUS_SERVICE_DBUS)) {
            if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged"))
                owner_changed(c, message);
        } else if (!dbus_message_get_destination(message)) {
            broadcast_signal(c, message, withheld);
        }
        return;
    default:
        return;
    }
}

void audit_pair_end(ConnectionPair *pair)
{
    auto it = audit.clients.find(pair);
    if (it == audit.clients.end())
        return;
    ClientAudit &c = it->second;
    if (audit.file.empty()) {
        report(c);
    } else if (!c.policy.rules.empty() || !c.policy.notes.empty()) {
        // A client that needed nothing (say, a GetId) leaves the file alone.
        merge(c.policy);
        write_file(c.label.c_str());
    }
    audit.clients.erase(it);
}

void audit_write_all()
{
    if (!audit.on)
        return;
    if (audit.file.empty()) {
        for (auto &[pair, c] : audit.clients)
            report(c);
        return;
    }
    for (auto &[pair, c] : audit.clients)
        merge(c.policy);
    write_file("every connected client");
}

void audit_finish()
{
    if (!audit.clients.empty())
        audit_write_all();
    audit.clients.clear();
}
