// The audit: what each client does, and the policy that allows exactly that.
#include "audit/audit.h"

#include "audit/policy_file.h"
#include "log/escape.h"
#include "log/log.h"
#include "policy/client_side.h"
#include "util/match_rule.h"
#include "util/message.h"

#include <glib.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <string_view>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

// Distinct things logged, and calls awaiting a reply, per client: a client
// that calls ever new paths must not grow the daemon without bound.
constexpr size_t max_things = 4096;
constexpr size_t max_pending = 4096;
// Host peers that called the client, and unique names known to own a name.
constexpr size_t max_callers = 1024;
constexpr size_t max_owners = 4096;
// Bytes of rules, notes and client names one client's policy, and the
// merged policy of one program, may hold; past it paths fold into subtree
// rules, then what does not fit is left out with a note.
constexpr size_t client_budget = 64 * 1024;
constexpr size_t program_budget = 64 * 1024;
// Programs whose merged policies are kept apart; the others share one.
constexpr size_t max_programs = 32;
// The file is written at most this often; departures in between wait.
constexpr gint64 write_interval_us = 2 * G_USEC_PER_SEC;

struct ClientAudit {
    std::string unique;  // the client's name on the bus
    std::string program; // its command name (escaped), when its process is known
    unsigned long pid = 0; // its process id, when known
    std::string label;   // "python3, :1.5" or ":1.5"
    std::unordered_set<uint64_t> logged; // keyed hashes of the things logged
    bool full = false;
    AuditPolicy policy;
    std::unordered_map<uint32_t, std::string> called;      // client serial -> well-known name
    std::unordered_map<uint32_t, std::string> owner_asked; // GetNameOwner serial -> name
    std::unordered_set<std::string> callers;               // host peers that called the client
    std::deque<std::string> callers_in_order;              // oldest first
    std::map<std::string, std::set<std::string>> names_of; // unique name -> well-known names
    size_t owners_known = 0;                               // pairs in names_of
};

// A write of the file, handed to a worker thread with its own text and
// handed back through the main context: neither side touches it meanwhile.
struct WriteJob {
    Audit *audit;
    std::string path;
    std::string text;
    std::string whose;
    bool ok = false;
    std::string why;
};

// Process-wide: the key of hash_of, the one worker that writes every
// audit's file, and the open audits (for SIGUSR1 and the exit).
uint64_t hash_key = 0;
GThreadPool *pool = nullptr;
Audit *open_audits = nullptr;
bool finished = false; // audit_finish ran: the loop is gone

} // namespace

// One destination: a file, or the log. Every config whose clients are
// audited there holds a reference; a file named twice is one record, so
// that two holders never overwrite each other's rules.
struct Audit {
    unsigned refs = 0;
    Audit *next = nullptr; // in open_audits
    std::string file;   // empty: the policies go to the log
    AuditPolicy loaded; // what the file held when it was opened
    std::map<std::string, AuditPolicy> programs; // merged policy per program
    std::unordered_map<ConnectionPair *, ClientAudit> clients;
    // The writer.
    WriteJob *in_flight = nullptr; // with the worker
    bool dirty = false;            // changes no write holds yet
    guint timer = 0;
    gint64 last_write_us = 0;
    std::string first_whose; // whose changes wait, for the log line
    unsigned more_whose = 0;
};

namespace {

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

// The interface a Properties call or signal is about, when it can be the
// rule's arg0 condition: a client that read one interface's properties gets
// that interface, not every one at the path. Empty otherwise (GetAll with ""
// means every interface).
std::string properties_interface(DBusMessage *message)
{
    if (!is(dbus_message_get_interface(message), DBUS_INTERFACE_PROPERTIES))
        return "";
    const char *arg0 = first_string_arg(message);
    return arg0 && dbus_validate_interface(arg0, nullptr) ? arg0 : "";
}

std::string with_condition(const std::string &thing, const std::string &args)
{
    return args.empty() ? thing : thing + " (" + args + ")";
}

// The command name a process gives itself: any bytes, a line break too.
std::string program_of(DBusConnection *client)
{
    unsigned long pid = 0;
    if (!dbus_connection_get_unix_process_id(client, &pid))
        return "";
    const int fd = open(("/proc/" + std::to_string(pid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    char comm[64];
    const ssize_t n = read(fd, comm, sizeof comm);
    close(fd);
    if (n <= 0)
        return "";
    // The kernel ends it with one line break of its own.
    const size_t length = comm[n - 1] == '\n' ? size_t(n - 1) : size_t(n);
    return log_escape(std::string_view(comm, length), 64);
}

// FNV-1a from a key of the daemon's own: a client cannot pick things
// that collide so as to hide one.
uint64_t hash_of(const std::string &thing)
{
    uint64_t h = hash_key ^ 0xcbf29ce484222325ULL;
    for (unsigned char byte : thing) {
        h ^= byte;
        h *= 0x100000001b3ULL;
    }
    return h ^ thing.size();
}

std::string client_overflow(const ClientAudit &c)
{
    return c.label + " did more than the audit keeps for one client (" +
           std::to_string(client_budget / 1024) + " KiB of rules): this policy is incomplete";
}

void add_rule(ClientAudit &c, const AuditRule &rule)
{
    audit_policy_add(&c.policy, rule, client_budget, client_overflow(c));
}

// A note on what no rule can grant; `text` may hold client text.
void add_note(ClientAudit &c, const std::string &text)
{
    audit_policy_add_note(&c.policy, c.label + " " + log_escape(text, 512), client_budget,
                          client_overflow(c));
}

ClientAudit &client_of(Audit &audit, ConnectionPair *pair)
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
        // Unique names mean nothing in a later run, and would pile up.
        c.policy.clients.insert(c.program.empty() ? "(program unknown)" : c.program);
    }
    return c;
}

// Logs `thing` the first time the client does it; true then.
// Logs `thing` (escaped, long ones shortened) the first time the client
// does it; true then.
bool note(ClientAudit &c, const std::string &thing)
{
    const uint64_t hash = hash_of(thing);
    if (c.full || c.logged.count(hash))
        return false;
    if (c.logged.size() >= max_things) {
        c.full = true;
        print_line("%s did more than %zu distinct things; the rest is neither logged nor in its "
                   "policy", c.unique.c_str(), max_things);
        c.policy.notes.insert(c.label + " did more than " + std::to_string(max_things) +
                              " distinct things: this policy is incomplete");
        return false;
    }
    c.logged.insert(hash);
    print_line("%s %s", c.unique.c_str(), log_escape(thing).c_str());
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

// key -> value of a match rule, read as the bus reads it; false when the
// bus would refuse it.
bool parse_match_rule(const char *rule, std::map<std::string, std::string> *keys)
{
    MatchRule read;
    if (match_rule_read(rule, &read))
        return false;
    for (const MatchEntry &entry : read)
        (*keys)[match_key_name(entry)] = entry.value;
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
            add_rule(c, {"see", name, "", ""});
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
    if (interface == DBUS_INTERFACE_PROPERTIES &&
        dbus_validate_interface(keys["arg0"].c_str(), nullptr))
        broadcast.args = "arg0=" + keys["arg0"];
    if (note(c, with_condition("subscribed to signals of " + sender + ": " + broadcast.method +
                                   (broadcast.path.empty() ? "" : " at " + broadcast.path),
                               broadcast.args)))
        add_rule(c, broadcast);
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
            add_rule(c, {"own", without_pid(arg, c.pid), "", ""});
    } else if (policy_is_name_query(member)) {
        if (!arg || !well_known(arg))
            return;
        if (is(member, "GetNameOwner"))
            remember(c.owner_asked, call, arg);
        if (note(c, "asked the bus about " + std::string(arg)))
            add_rule(c, {"see", arg, "", ""});
    } else if (note(c, "called the bus's " + std::string(member ? member : "(no member)"))) {
        add_note(c, std::string("called the bus's ") + (member ? member : "(no member)") +
                        ", which the policy does not allow");
    }
}

void learn_owner(ClientAudit &c, const std::string &name, const char *owner)
{
    if (!owner || owner[0] != ':')
        return;
    if (c.owners_known >= max_owners) { // owners that churned: start over
        c.names_of.clear();
        c.owners_known = 0;
    }
    c.owners_known += c.names_of[owner].insert(name).second;
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
    if (auto it = c.names_of.find(old_owner); it != c.names_of.end()) {
        c.owners_known -= it->second.erase(name);
        if (it->second.empty())
            c.names_of.erase(it);
    }
    learn_owner(c, name, new_owner);
}

bool signal_allowed(const AuditPolicy &policy, const std::set<std::string> &names,
                    DBusMessage *signal, const std::string &arg0)
{
    for (const AuditRule &rule : policy.rules)
        if (names.count(rule.name) &&
            (rule.kind == "own" || rule.kind == "talk" ||
             (rule.kind == "broadcast" &&
              audit_rule_covers(rule, dbus_message_get_interface(signal),
                                dbus_message_get_member(signal), dbus_message_get_path(signal),
                                arg0.empty() ? nullptr : arg0.c_str()))))
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
    const std::string arg0 = properties_interface(signal);
    const std::string args = arg0.empty() ? "" : "arg0=" + arg0;
    const std::string thing = with_condition(what(interface, member, path), args);
    const auto names = c.names_of.find(sender);
    if (names == c.names_of.end() || names->second.empty()) {
        if (note(c, "received signal " + thing + " from " + sender + ", which owns no name it used"))
            add_note(c, "received signal " + thing + " from " + sender +
                            ", which owned no name it used");
    } else {
        const std::string &name = *names->second.begin();
        if (note(c, "received signal " + thing + " from " + name) &&
            !signal_allowed(c.policy, names->second, signal, arg0))
            add_rule(c, {"broadcast", name, method_of(interface, member), path ? path : "", args});
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

// A client's policy into its program's; programs past the first
// max_programs share one.
void merge(Audit &audit, const ClientAudit &c)
{
    std::string program = c.program.empty() ? "(program unknown)" : c.program;
    if (!audit.programs.count(program) && audit.programs.size() >= max_programs)
        program = "(other programs)";
    audit_policy_merge(&audit.programs[program], c.policy, program_budget,
                       program + " did more than the audit keeps for one program (" +
                           std::to_string(program_budget / 1024) +
                           " KiB of rules): this policy is incomplete");
}

std::string file_text(const Audit &audit)
{
    AuditPolicy all = audit.loaded;
    for (const auto &[program, policy] : audit.programs) {
        all.rules.insert(policy.rules.begin(), policy.rules.end());
        all.clients.insert(policy.clients.begin(), policy.clients.end());
        all.notes.insert(policy.notes.begin(), policy.notes.end());
    }
    return audit_policy_text(all);
}

void log_written(const WriteJob &job)
{
    if (job.ok)
        print_line("wrote the policy for %s to %s", job.whose.c_str(), job.path.c_str());
    else
        print_line("cannot write the policy for %s to %s: %s", job.whose.c_str(), job.path.c_str(),
                   job.why.c_str());
}

WriteJob *take_job(Audit &audit)
{
    auto *job = new WriteJob{&audit, audit.file, file_text(audit), audit.first_whose, false, ""};
    if (audit.more_whose > 0)
        job->whose += " and " + std::to_string(audit.more_whose) + " more client(s)";
    audit.first_whose.clear();
    audit.more_whose = 0;
    audit.dirty = false;
    return job;
}

void schedule_write(Audit &audit, bool now);
void free_audit(Audit *audit);

gboolean on_written(gpointer data)
{
    auto *job = static_cast<WriteJob *>(data);
    Audit &audit = *job->audit;
    audit.in_flight = nullptr;
    log_written(*job);
    delete job;
    if (audit.dirty)
        schedule_write(audit, audit.refs == 0);
    else if (audit.refs == 0)
        free_audit(&audit); // its last holder went while this write was on its way
    return G_SOURCE_REMOVE;
}

// On the worker: the disk may take its time here.
void write_on_worker(gpointer data, gpointer)
{
    auto *job = static_cast<WriteJob *>(data);
    job->ok = audit_file_replace(job->path, job->text, &job->why);
    job->text = std::string();
    GSource *done = g_idle_source_new();
    g_source_set_callback(done, on_written, job, nullptr);
    g_source_attach(done, g_main_context_default());
    g_source_unref(done);
}

void start_write(Audit &audit)
{
    // One worker for every audit: their writes take turns.
    if (!pool)
        pool = g_thread_pool_new(write_on_worker, nullptr, 1, FALSE, nullptr);
    audit.last_write_us = g_get_monotonic_time();
    audit.in_flight = take_job(audit);
    g_thread_pool_push(pool, audit.in_flight, nullptr);
}

gboolean on_write_timer(gpointer data)
{
    Audit &audit = *static_cast<Audit *>(data);
    audit.timer = 0;
    if (audit.dirty && !audit.in_flight)
        start_write(audit);
    return G_SOURCE_REMOVE;
}

// Coalesces: at most one write every write_interval_us, one at a time;
// `now` (SIGUSR1) skips the wait but not a write in progress.
void schedule_write(Audit &audit, bool now)
{
    audit.dirty = true;
    if (now) {
        audit.last_write_us = 0;
        if (audit.timer)
            g_source_remove(audit.timer);
        audit.timer = 0;
    }
    if (audit.in_flight || audit.timer)
        return;
    const gint64 wait = audit.last_write_us == 0
                            ? 0
                            : audit.last_write_us + write_interval_us - g_get_monotonic_time();
    if (wait <= 0)
        start_write(audit);
    else
        audit.timer = g_timeout_add(guint(wait / 1000 + 1), on_write_timer, &audit);
}

void changed_by(Audit &audit, const std::string &whose)
{
    if (audit.first_whose.empty())
        audit.first_whose = whose;
    else if (audit.first_whose != whose)
        ++audit.more_whose;
}

Audit *audit_of(ConnectionPair *pair)
{
    return pair->config ? pair->config->audit : nullptr;
}

void free_audit(Audit *audit)
{
    for (Audit **at = &open_audits; *at; at = &(*at)->next)
        if (*at == audit) {
            *at = audit->next;
            break;
        }
    if (audit->timer)
        g_source_remove(audit->timer);
    delete audit;
}

} // namespace

Audit *audit_open(const std::string &file, std::string *why)
{
    if (hash_key == 0)
        hash_key = (uint64_t(g_random_int()) << 32) | g_random_int();
    for (Audit *open = open_audits; open; open = open->next)
        if (open->file == file) {
            ++open->refs;
            return open;
        }
    auto *audit = new Audit;
    audit->file = file;
    if (!file.empty() && !audit_policy_load(file, &audit->loaded, why)) {
        delete audit;
        return nullptr;
    }
    audit->refs = 1;
    audit->next = open_audits;
    open_audits = audit;
    return audit;
}

void audit_release(Audit *audit)
{
    if (!audit || --audit->refs > 0)
        return;
    if (finished) { // audit_finish wrote it
        free_audit(audit);
        return;
    }
    // Normally its clients left before it: each was merged then.
    for (auto &[pair, c] : audit->clients) {
        if (audit->file.empty()) {
            report(c);
        } else {
            merge(*audit, c);
            changed_by(*audit, c.label);
            audit->dirty = true;
        }
    }
    audit->clients.clear();
    if (audit->dirty)
        schedule_write(*audit, true); // freed once written (on_written)
    else if (!audit->in_flight)
        free_audit(audit);
}

int audit_command_line_option(ProxyConfig *config, const char *arg)
{
    std::string file;
    if (std::strcmp(arg, "--audit") != 0) {
        if (std::strncmp(arg, "--audit=", 8) != 0)
            return 0;
        if (arg[8] == '\0')
            return -1;
        file = arg + 8;
    }
    std::string why;
    Audit *audit = audit_open(file, &why);
    if (!audit) {
        LOG_FATAL("Cannot add to the audit's policy file %s: %s\n", file.c_str(), why.c_str());
        std::exit(1);
    }
    // The last option counts.
    audit_release(config->audit);
    config->audit = audit;
    return 1;
}

bool audit_enabled()
{
    return open_audits != nullptr;
}

void audit_client_message(ConnectionPair *pair, DBusMessage *message)
{
    Audit *audit = audit_of(pair);
    if (!audit)
        return;
    ClientAudit &c = client_of(*audit, pair);
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
    const std::string arg0 = properties_interface(message);
    AuditRule call{"call", destination, method_of(interface, member), path ? path : "",
                   arg0.empty() ? "" : "arg0=" + arg0};
    const std::string thing = with_condition(what(interface, member, path), call.args);
    if (destination[0] != ':') {
        remember(c.called, message, destination);
        if (note(c, "called " + std::string(destination) + " " + thing))
            add_rule(c, call);
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
            add_rule(c, call);
    } else if (note(c, "called " + std::string(destination) + " " + thing +
                           ", which owns no name it used")) {
        add_note(c, "called " + std::string(destination) + " " + thing +
                        ", which owned no name it used");
    }
}

void audit_refused(ConnectionPair *pair, DBusMessage *message)
{
    Audit *audit = audit_of(pair);
    if (!audit)
        return;
    const char *destination = dbus_message_get_destination(message);
    note(client_of(*audit, pair), "was refused " + std::string(destination ? destination : "(no destination)") +
                              " " + what(dbus_message_get_interface(message),
                                         dbus_message_get_member(message),
                                         dbus_message_get_path(message)));
}

void audit_bus_message(ConnectionPair *pair, DBusMessage *message, bool withheld)
{
    Audit *audit = audit_of(pair);
    if (!audit)
        return;
    ClientAudit &c = client_of(*audit, pair);
    switch (dbus_message_get_type(message)) {
    case DBUS_MESSAGE_TYPE_METHOD_RETURN:
    case DBUS_MESSAGE_TYPE_ERROR:
        reply(c, message);
        return;
    case DBUS_MESSAGE_TYPE_METHOD_CALL:
        if (const char *sender = dbus_message_get_sender(message)) {
            if (c.callers.insert(sender).second) {
                c.callers_in_order.push_back(sender);
                if (c.callers_in_order.size() > max_callers) {
                    c.callers.erase(c.callers_in_order.front());
                    c.callers_in_order.pop_front();
                }
            }
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
    Audit *audit = audit_of(pair);
    if (!audit)
        return;
    auto it = audit->clients.find(pair);
    if (it == audit->clients.end())
        return;
    ClientAudit &c = it->second;
    if (audit->file.empty()) {
        report(c);
    } else if (!c.policy.rules.empty() || !c.policy.notes.empty()) {
        // A client that needed nothing (say, a GetId) leaves the file alone.
        merge(*audit, c);
        changed_by(*audit, c.label);
        schedule_write(*audit, false);
    }
    audit->clients.erase(it);
}

void audit_write_all()
{
    for (Audit *audit = open_audits; audit; audit = audit->next) {
        if (audit->file.empty()) {
            for (auto &[pair, c] : audit->clients)
                report(c);
            continue;
        }
        for (auto &[pair, c] : audit->clients)
            merge(*audit, c);
        audit->first_whose = "every connected client";
        audit->more_whose = 0;
        schedule_write(*audit, true);
    }
}

void audit_finish()
{
    for (Audit *audit = open_audits; audit; audit = audit->next) {
        if (audit->file.empty()) {
            for (auto &[pair, c] : audit->clients)
                report(c);
        } else if (!audit->clients.empty()) {
            for (auto &[pair, c] : audit->clients)
                merge(*audit, c);
            audit->first_whose = "every connected client";
            audit->more_whose = 0;
            audit->dirty = true;
        }
        audit->clients.clear();
        if (audit->timer)
            g_source_remove(audit->timer);
        audit->timer = 0;
    }
    // The loop has ended: waiting for the disk is allowed now.
    if (pool)
        g_thread_pool_free(pool, FALSE, TRUE);
    pool = nullptr;
    for (Audit *audit = open_audits; audit; audit = audit->next) {
        if (WriteJob *job = audit->in_flight) {
            // Its hand-back will never run: take it here.
            if (GSource *done = g_main_context_find_source_by_user_data(nullptr, job))
                g_source_destroy(done);
            audit->in_flight = nullptr;
            log_written(*job);
            delete job;
        }
        if (audit->dirty) {
            WriteJob *job = take_job(*audit);
            job->ok = audit_file_replace(job->path, job->text, &job->why);
            log_written(*job);
            delete job;
        }
        audit->programs.clear();
    }
    finished = true;
    // Those no holder keeps; the others go with their holders.
    for (Audit *audit = open_audits, *next; audit; audit = next) {
        next = audit->next;
        if (audit->refs == 0)
            free_audit(audit);
    }
}
