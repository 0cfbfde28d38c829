// Several containers served by one daemon (--containers DIR): each with its
// own listeners, namespace, activation list, policy, audit and share of the
// daemon's bounds, reloaded on SIGHUP without disturbing the others.
#include "fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <sstream>

using namespace harness;

namespace {

const char app_id[] = "org.example.App";

// One run of namespace_apps.py, with a HOME of its own, on `address`.
class App {
public:
    App(const std::string &dir, const std::string &name) : out_(dir + "/" + name + ".out")
    {
        home_ = dir + "/" + name + ".home";
        mkdir(home_.c_str(), 0700);
        err_ = dir + "/" + name + ".err";
    }
    bool start(const std::string &address)
    {
        return process_.start({"/usr/bin/python3", DPD_NAMESPACE_APPS, "gapp", app_id},
                              {"HOME=" + home_, "DBUS_SESSION_BUS_ADDRESS=" + address,
                               "XDG_RUNTIME_DIR=" + home_},
                              out_, err_);
    }
    std::string output() const { return read_file(out_) + read_file(err_); }
    int count(const std::string &line) const
    {
        std::istringstream lines(read_file(out_));
        int n = 0;
        for (std::string l; std::getline(lines, l);)
            n += l == line;
        return n;
    }
    bool wait_line(const std::string &line, int times = 1)
    {
        return wait_until([&] { return count(line) >= times; }, 20000ms);
    }
    Process &process() { return process_; }

private:
    std::string out_, err_, home_;
    Process process_;
};

std::string owner_of(Client &client, const char *name)
{
    MessagePtr call = bus_call("GetNameOwner");
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    MessagePtr reply = client.call(call);
    const char *owner = nullptr;
    if (!reply ||
        !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID))
        return "-";
    return owner;
}

// A call to `destination`, answered by an echo peer: "ok" or the error's name.
std::string echo(Client &client, const std::string &destination)
{
    MessagePtr call(
        dbus_message_new_method_call(destination.c_str(), "/", "org.example.Echo", "Ping"));
    std::string error;
    MessagePtr reply = client.call(call, 5000, &error);
    return reply ? "ok" : error.substr(0, error.find(':'));
}

// NameHasOwner through `client`: "yes", "no" or the error's name.
std::string has_owner(Client &client, const std::string &name)
{
    MessagePtr call = bus_call("NameHasOwner");
    const char *text = name.c_str();
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    std::string error;
    MessagePtr reply = client.call(call, 5000, &error);
    dbus_bool_t has = FALSE;
    if (!reply)
        return error.substr(0, error.find(':'));
    dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_BOOLEAN, &has, DBUS_TYPE_INVALID);
    return has ? "yes" : "no";
}

// org.example.Echo.Ping at `path`: "ok" or the error's name.
std::string ping_at(Client &client, const std::string &path)
{
    MessagePtr call(dbus_message_new_method_call("org.example.Echo", path.c_str(),
                                                 "org.example.Echo", "Ping"));
    std::string error;
    MessagePtr reply = client.call(call, 5000, &error);
    return reply ? "ok" : error.substr(0, error.find(':'));
}

std::string add_match(Client &client, const std::string &rule)
{
    MessagePtr call = bus_call("AddMatch");
    const char *text = rule.c_str();
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    std::string error;
    return client.call(call, 5000, &error) ? "ok" : error;
}

// A 256 KiB signal whose first argument names its share.
void emit_blob(Client &host, const std::string &share)
{
    static const std::vector<unsigned char> blob(256 * 1024, 0x5a);
    MessagePtr signal(dbus_message_new_signal("/", "org.example.Flood", "Blob"));
    const char *label = share.c_str();
    const unsigned char *data = blob.data();
    dbus_message_append_args(signal.get(), DBUS_TYPE_STRING, &label, DBUS_TYPE_ARRAY,
                             DBUS_TYPE_BYTE, &data, static_cast<int>(blob.size()),
                             DBUS_TYPE_INVALID);
    dbus_connection_send(host.conn(), signal.get(), nullptr);
}

// The shares of the Blob signals that reach `client`, until `expected` came.
std::vector<std::string> blobs_read(Client &client, size_t expected)
{
    std::vector<std::string> shares;
    client.wait_message(
        [&](DBusMessage *m) {
            const char *share = nullptr;
            if (dbus_message_is_signal(m, "org.example.Flood", "Blob") &&
                dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &share, DBUS_TYPE_INVALID))
                shares.push_back(share);
            return shares.size() >= expected;
        },
        20000ms);
    return shares;
}

int count_lines(const std::string &text, const std::string &part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class Containers : public ProxyTest {
protected:
    std::string conf_dir;

    void SetUp() override
    {
        ProxyTest::SetUp();
        conf_dir = dir.file("containers.d");
        ASSERT_EQ(mkdir(conf_dir.c_str(), 0700), 0);
        // No ~/.log: --verbose keeps logging to the captured output.
        daemon.extra_env.push_back("HOME=" + dir.file("nohome"));
    }
    std::string socket_of(const std::string &name) const { return dir.file(name + ".sock"); }
    std::string address_of(const std::string &name) const
    {
        return "unix:path=" + socket_of(name);
    }
    // NAME.conf listening on NAME.sock, with `more` lines.
    void write_conf(const std::string &name, const std::string &more = "")
    {
        write_file(conf_dir + "/" + name + ".conf",
                   "listen " + address_of(name) + "\n" + more);
    }
    void start(const std::vector<std::string> &wait_for, std::vector<std::string> extra = {})
    {
        extra.insert(extra.end(), {"--containers", conf_dir, "--verbose", "2"});
        start_unix(extra);
        for (const std::string &name : wait_for)
            ASSERT_TRUE(wait_until([&] { return unix_socket_listening(socket_of(name)); }))
                << name << "\n" << daemon.log();
    }
    // SIGHUP, then waits until the reload's last line is written.
    void reload(const std::string &last_line)
    {
        const int before = count_lines(daemon.log(), last_line);
        ASSERT_TRUE(daemon.process().signal(SIGHUP));
        ASSERT_TRUE(wait_until([&] { return count_lines(daemon.log(), last_line) > before; }))
            << daemon.log();
    }
};

} // namespace

TEST_F(Containers, EachContainersApplicationReachesItsOwnFirstInstance)
{
    if (run_command({"/usr/bin/python3", "-c", "import gi"}, {}, nullptr, nullptr) != 0)
        GTEST_SKIP() << "python3-gi is not installed";
    Peer host_app;
    std::atomic<int> host_calls{0};
    host_app.observer = [&](DBusMessage *m) {
        host_calls += dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL;
    };
    ASSERT_TRUE(host_app.start(bus.address(), {app_id}, echo_handler));
    // Each container's own list, at its default place; the daemon's own
    // list names the command line's namespace only.
    for (const char *name : {"a", "b"}) {
        write_file(daemon.activation_list(std::string(name) + ".dbus-sess-proxy.list"),
                   std::string(app_id) + "=" + app_id + "." + name + "\n");
        write_conf(name, "lookups\n");
    }
    write_file(daemon.activation_list("dbus-sess-proxy.list"),
               std::string(app_id) + "=" + app_id + ".docker\n");
    start({"a", "b"});

    App a1(dir.path(), "a1"), a2(dir.path(), "a2"), b1(dir.path(), "b1"), b2(dir.path(), "b2");
    ASSERT_TRUE(a1.start(address_of("a")));
    ASSERT_TRUE(a1.wait_line("activated")) << a1.output() << daemon.log();
    ASSERT_TRUE(b1.start(address_of("b")));
    ASSERT_TRUE(b1.wait_line("activated")) << b1.output() << daemon.log();
    EXPECT_EQ(a1.count("primary"), 1) << a1.output();
    EXPECT_EQ(b1.count("primary"), 1) << b1.output();

    // On the host: one instance per namespace, the host's own untouched.
    Client host;
    ASSERT_TRUE(host.open(bus.address()));
    EXPECT_EQ(owner_of(host, app_id), host_app.unique_name());
    const std::string owner_a = owner_of(host, "org.example.App.a");
    const std::string owner_b = owner_of(host, "org.example.App.b");
    EXPECT_NE(owner_a, "-");
    EXPECT_NE(owner_b, "-");
    EXPECT_NE(owner_a, owner_b);
    EXPECT_EQ(owner_of(host, "org.example.App.docker"), "-");

    // Launched again in each container: each activates its own first one.
    ASSERT_TRUE(a2.start(address_of("a")));
    ASSERT_TRUE(a2.wait_line("remote")) << a2.output();
    EXPECT_TRUE(a1.wait_line("activated", 2)) << a1.output();
    EXPECT_EQ(a2.process().wait_exit(10000ms), 0) << a2.output();
    ASSERT_TRUE(b2.start(address_of("b")));
    ASSERT_TRUE(b2.wait_line("remote")) << b2.output();
    EXPECT_TRUE(b1.wait_line("activated", 2)) << b1.output();
    EXPECT_EQ(b2.process().wait_exit(10000ms), 0) << b2.output();
    EXPECT_EQ(a1.count("activated"), 2) << a1.output();
    EXPECT_EQ(b1.count("activated"), 2) << b1.output();
    EXPECT_EQ(host_calls, 0);

    // Log lines about a client name its container.
    EXPECT_NE(daemon.log().find("[container a] "), std::string::npos) << daemon.log();
}

TEST_F(Containers, EachContainerHasItsOwnPolicy)
{
    Peer echo_peer, other_peer;
    ASSERT_TRUE(echo_peer.start(bus.address(), {"org.example.Echo"}, echo_handler));
    ASSERT_TRUE(other_peer.start(bus.address(), {"org.example.Other"}, echo_handler));
    write_conf("open");
    write_conf("talker", "talk org.example.Echo\n");
    write_conf("closed", "filter\n");
    write_conf("other", "talk org.example.Other\n");
    start({"open", "talker", "closed", "other"}, {"--filter", "--talk=org.example.Other"});

    Client line, open, talker, closed, other;
    ASSERT_TRUE(line.open(daemon.address()));
    for (auto [client, name] : {std::pair{&open, "open"}, {&talker, "talker"},
                                {&closed, "closed"}, {&other, "other"}})
        ASSERT_TRUE(client->open(address_of(name))) << name << "\n" << daemon.log();

    const std::string missing = DBUS_ERROR_NAME_HAS_NO_OWNER;
    EXPECT_EQ(echo(open, "org.example.Echo"), "ok");
    EXPECT_EQ(echo(open, "org.example.Other"), "ok");
    EXPECT_EQ(echo(talker, "org.example.Echo"), "ok");
    EXPECT_NE(echo(talker, "org.example.Other"), "ok");
    EXPECT_NE(echo(closed, "org.example.Echo"), "ok");
    EXPECT_NE(echo(closed, "org.example.Other"), "ok");
    EXPECT_EQ(owner_of(closed, "org.example.Echo"), "-");
    EXPECT_EQ(echo(other, "org.example.Other"), "ok");
    EXPECT_NE(echo(other, "org.example.Echo"), "ok");
    // The command line's own policy is still its own.
    EXPECT_EQ(echo(line, "org.example.Other"), "ok");
    EXPECT_NE(echo(line, "org.example.Echo"), "ok");

    // A peer is reached by its unique name only by the containers whose
    // policy sees a name it owns.
    EXPECT_TRUE(wait_until([&] { return echo(talker, echo_peer.unique_name()) == "ok"; }))
        << daemon.log();
    EXPECT_NE(echo(other, echo_peer.unique_name()), "ok");
    EXPECT_NE(echo(closed, echo_peer.unique_name()), "ok");
    EXPECT_NE(echo(line, echo_peer.unique_name()), "ok");
    EXPECT_EQ(echo(other, other_peer.unique_name()), "ok");
    EXPECT_EQ(echo(line, other_peer.unique_name()), "ok");
    EXPECT_NE(echo(talker, other_peer.unique_name()), "ok");
    // Nor is it shown to exist to the others.
    EXPECT_EQ(has_owner(talker, echo_peer.unique_name()), "yes");
    EXPECT_EQ(has_owner(other, echo_peer.unique_name()), "no");
    EXPECT_EQ(has_owner(closed, echo_peer.unique_name()), "no");
    EXPECT_EQ(has_owner(line, echo_peer.unique_name()), "no");
    EXPECT_EQ(has_owner(line, other_peer.unique_name()), "yes");
}

TEST_F(Containers, ReloadAddsChangesAndRemovesWithoutDisturbingOthers)
{
    Peer echo_peer;
    ASSERT_TRUE(echo_peer.start(bus.address(), {"org.example.Echo"}, echo_handler));
    write_conf("steady", "talk org.example.Echo\nmetadata image=steady:1\n");
    write_conf("changing", "talk org.example.Echo\n");
    write_conf("going");
    start({"steady", "changing", "going"});
    EXPECT_EQ(count_lines(daemon.log(), "Container steady (image=steady:1): listening on"), 1);

    Client steady, changing, going;
    ASSERT_TRUE(steady.open(address_of("steady")));
    ASSERT_TRUE(changing.open(address_of("changing")));
    ASSERT_TRUE(going.open(address_of("going")));
    EXPECT_EQ(echo(changing, "org.example.Echo"), "ok");

    // One reload: a new file, a changed one, a removed one, and the
    // steady one rewritten as it was (same text: not a change).
    write_conf("added", "talk org.example.Echo\n");
    write_conf("changing", "filter\n");
    write_conf("steady", "talk org.example.Echo\nmetadata image=steady:1\n");
    ASSERT_EQ(unlink((conf_dir + "/going.conf").c_str()), 0);
    reload("Container going removed");

    EXPECT_TRUE(changing.read_until_disconnected()) << daemon.log();
    EXPECT_TRUE(going.read_until_disconnected()) << daemon.log();
    EXPECT_TRUE(wait_until([&] { return !unix_socket_listening(socket_of("going")); }));
    const std::string log = daemon.log();
    EXPECT_EQ(count_lines(log, "Container going removed: its listeners are closed, 1 client(s) "
                               "disconnected"),
              1)
        << log;
    EXPECT_EQ(count_lines(log, "Container changing removed"), 1) << log;
    EXPECT_EQ(count_lines(log, "Container steady removed"), 0) << log;

    // The steady container's client was never disturbed.
    EXPECT_EQ(echo(steady, "org.example.Echo"), "ok");
    Client added, changed;
    ASSERT_TRUE(added.open(address_of("added"))) << daemon.log();
    EXPECT_EQ(echo(added, "org.example.Echo"), "ok");
    ASSERT_TRUE(changed.open(address_of("changing"))) << daemon.log();
    EXPECT_NE(echo(changed, "org.example.Echo"), "ok"); // its new policy

    // A file that turns bad leaves its container as it was.
    write_file(conf_dir + "/added.conf", "listen " + address_of("added") + "\nbogus line\n");
    reload("added.conf, line 2: unknown setting: bogus; the container stays as it was");
    EXPECT_EQ(echo(added, "org.example.Echo"), "ok");
    EXPECT_EQ(echo(steady, "org.example.Echo"), "ok");

    // Every file gone: every container goes, the command line's stays.
    for (const char *name : {"added", "changing", "steady"})
        ASSERT_EQ(unlink((conf_dir + "/" + name + ".conf").c_str()), 0);
    reload("Container steady removed");
    EXPECT_TRUE(steady.read_until_disconnected());
    EXPECT_TRUE(added.read_until_disconnected());
    EXPECT_TRUE(wait_until([&] { return !unix_socket_listening(socket_of("steady")); }));
    Client line;
    ASSERT_TRUE(line.open(daemon.address()));
    round_trip(line);
}

TEST_F(Containers, BadFilesAreSkippedAndTheOthersLoad)
{
    write_conf("good");
    write_file(conf_dir + "/typo.conf", "listen " + address_of("typo") + "\n# fine\nnamspace x\n");
    write_file(conf_dir + "/1bad.conf", "listen " + address_of("1bad") + "\n");
    write_file(conf_dir + "/nolisten.conf", "lookups\n");
    write_file(conf_dir + "/notes.txt", "not a container file\n");
    // Both want the same socket: the second (by name) cannot have it.
    write_file(conf_dir + "/same.conf", "listen " + address_of("good") + "\n");
    // Its first address is given up again when the second fails.
    write_file(conf_dir + "/second.conf",
               "listen " + address_of("second") + "\nlisten " + address_of("good") + "\n");
    ASSERT_EQ(mkdir((conf_dir + "/dir.conf").c_str(), 0700), 0);
    start({"good"});
    // Read in name order: typo.conf is the last.
    ASSERT_TRUE(wait_until([&] { return daemon.log().find("typo.conf") != std::string::npos; }));

    const std::string log = daemon.log();
    EXPECT_NE(log.find("[WARN  dbus-proxy-daemon"), std::string::npos);
    EXPECT_EQ(count_lines(log, "typo.conf, line 3: unknown setting: namspace; skipped"), 1) << log;
    EXPECT_EQ(count_lines(log, "1bad.conf: the name must be"), 1) << log;
    EXPECT_EQ(count_lines(log, "nolisten.conf: no listen address; skipped"), 1) << log;
    EXPECT_EQ(count_lines(log, "dir.conf: not a regular file; skipped"), 1) << log;
    EXPECT_EQ(count_lines(log, "same.conf: cannot listen on"), 1) << log;
    EXPECT_EQ(count_lines(log, "notes.txt"), 0) << log;
    EXPECT_EQ(count_lines(log, "second.conf: cannot listen on " + address_of("good")), 1) << log;
    EXPECT_FALSE(unix_socket_listening(socket_of("typo")));
    EXPECT_FALSE(unix_socket_listening(socket_of("second")));

    Client good;
    ASSERT_TRUE(good.open(address_of("good")));
    round_trip(good);
}

TEST_F(Containers, RealClientsOverUnixAndTcp)
{
    const int port = free_tcp_port();
    ASSERT_GT(port, 0);
    const std::string tcp = "tcp:host=127.0.0.1,port=" + std::to_string(port);
    write_conf("both", "listen " + tcp + "\nnamespace both_ns\n");
    start({"both"});
    ASSERT_TRUE(wait_until([&] {
        Client probe;
        return probe.open(tcp, false);
    }));
    Peer service;
    ASSERT_TRUE(service.start(bus.address(), {"org.example.Svc.both_ns"}, echo_handler));
    ClientHome home;
    for (const std::string &address : {address_of("both"), tcp}) {
        std::string out, err;
        // Calls by the plain name reach the container's namespaced service
        // (the registry knows nothing of it: the list says so).
        write_file(daemon.activation_list("both.dbus-sess-proxy.list"),
                   "org.example.Svc=org.example.Svc.both_ns\n");
        EXPECT_EQ(run_command({"dbus-send", "--bus=" + address, "--print-reply",
                               "--dest=org.example.Svc", "/", "org.example.Echo.Ping",
                               "string:hi"},
                              home.env(), &out, &err),
                  0)
            << address << "\n" << out << err << daemon.log();
        EXPECT_NE(out.find("string \"hi\""), std::string::npos) << out;
        if (run_command({"gdbus", "call", "--address", address, "--dest", "org.example.Svc",
                         "--object-path", "/", "--method", "org.example.Echo.Ping", "hi"},
                        home.env(), &out, &err) != 127) {
            EXPECT_NE(out.find("'hi'"), std::string::npos) << address << "\n" << out << err;
        }
    }
}

TEST_F(Containers, EachContainerAuditsIntoItsOwnDestination)
{
    Peer echo_peer;
    ASSERT_TRUE(echo_peer.start(bus.address(), {"org.example.Echo"}, echo_handler));
    const std::string file_a = dir.file("a.policy"), file_b = dir.file("b.policy"),
                      file_line = dir.file("line.policy");
    write_conf("a", "audit " + file_a + "\n");
    write_conf("b", "audit " + file_b + "\n");
    // The same file: one audit, neither overwriting the other's rules.
    write_conf("b2", "audit " + file_b + "\n");
    write_conf("quiet"); // not audited
    write_conf("logged", "audit\n");
    start({"a", "b", "b2", "quiet", "logged"}, {"--audit=" + file_line});

    Client line, a, b, b2, quiet, logged;
    ASSERT_TRUE(line.open(daemon.address()));
    for (auto [client, name] : {std::pair{&a, "a"}, {&b, "b"}, {&b2, "b2"},
                                {&quiet, "quiet"}, {&logged, "logged"}})
        ASSERT_TRUE(client->open(address_of(name))) << name << "\n" << daemon.log();
    for (auto [client, path] : {std::pair{&line, "/line"}, {&a, "/a"}, {&b, "/b"},
                                {&b2, "/b2"}, {&quiet, "/quiet"}, {&logged, "/logged"}})
        EXPECT_EQ(ping_at(*client, path), "ok") << path;

    // SIGUSR1: every audit writes what its connected clients did.
    ASSERT_TRUE(daemon.process().signal(SIGUSR1));
    for (const std::string &file : {file_a, file_b, file_line})
        ASSERT_TRUE(wait_until([&] {
            return daemon.log().find("wrote the policy for every connected client to " + file) !=
                   std::string::npos;
        })) << file << "\n" << daemon.log();
    const auto rule = [](const std::string &path) {
        return "call org.example.Echo=org.example.Echo.Ping@" + path + "\n";
    };
    const struct {
        const std::string &file;
        std::vector<std::string> own;
    } files[] = {{file_a, {"/a"}}, {file_b, {"/b", "/b2"}}, {file_line, {"/line"}}};
    for (const auto &f : files) {
        const std::string policy = read_file(f.file);
        for (const char *path : {"/a", "/b", "/b2", "/line", "/quiet", "/logged"})
            EXPECT_EQ(policy.find(rule(path)) != std::string::npos,
                      std::find(f.own.begin(), f.own.end(), path) != f.own.end())
                << f.file << " " << path << "\n" << policy;
    }
    // `audit` alone: the log; no audit at all: nothing anywhere.
    std::string log = daemon.log();
    EXPECT_EQ(count_lines(log, "org.example.Echo.Ping at /logged"), 1) << log;
    EXPECT_EQ(count_lines(log, "at /quiet"), 0) << log;

    // Removing a container writes what its audit still holds.
    EXPECT_EQ(ping_at(a, "/a_late"), "ok");
    ASSERT_EQ(unlink((conf_dir + "/a.conf").c_str()), 0);
    reload("Container a removed");
    EXPECT_TRUE(a.read_until_disconnected()) << daemon.log();
    EXPECT_TRUE(wait_until([&] { return read_file(file_a).find(rule("/a_late")) != std::string::npos; }))
        << read_file(file_a) << daemon.log();
    // The exit writes every audit's connected clients.
    EXPECT_EQ(ping_at(b, "/b_late"), "ok");
    EXPECT_EQ(ping_at(b2, "/b2_late"), "ok");
    EXPECT_EQ(ping_at(line, "/line_late"), "ok");
    EXPECT_EQ(daemon.process().stop(), 0);
    for (const char *path : {"/b", "/b2", "/b_late", "/b2_late"})
        EXPECT_NE(read_file(file_b).find(rule(path)), std::string::npos) << read_file(file_b);
    EXPECT_EQ(read_file(file_b).find(rule("/a_late")), std::string::npos);
    EXPECT_NE(read_file(file_line).find(rule("/line_late")), std::string::npos);
    EXPECT_EQ(read_file(file_line).find(rule("/b_late")), std::string::npos);
    EXPECT_EQ(read_file(file_a).find(rule("/b_late")), std::string::npos);
}

TEST_F(Containers, AContainerPastItsShareLosesItsOwnHeaviestClientOnly)
{
    write_conf("flood", "max-queued-bytes 4194304\n"); // 4 MiB
    write_conf("calm");                                 // half the daemon's 256 MiB
    start({"flood", "calm"}, {"--trace"});
    Client greedy, modest, calm, host;
    ASSERT_TRUE(host.open(bus.address()));
    // A client that left with 3 MiB unread no longer counts.
    {
        Client quitter;
        ASSERT_TRUE(quitter.open(address_of("flood")));
        ASSERT_EQ(add_match(quitter, "interface='org.example.Flood'"), "ok");
        for (int i = 0; i < 12; ++i)
            emit_blob(host, "early");
        dbus_connection_flush(host.conn());
        // Traced as each is relayed, without the quitter reading.
        ASSERT_TRUE(wait_until([&] { return count_lines(daemon.log(), "member='Blob'") == 12; }))
            << daemon.log();
    }
    ASSERT_TRUE(wait_until([&] {
        return count_lines(daemon.log(), "[container flood] [CLIENT:][NULL]connection was "
                                         "disconnected") == 1;
    })) << daemon.log();
    // None of them reads while 32 blobs (8 MiB) are sent: the greedy one
    // hears 6 MiB, the modest one 2 MiB, both in the flooded container;
    // another container's client hears everything, more than either.
    ASSERT_TRUE(greedy.open(address_of("flood")));
    ASSERT_TRUE(modest.open(address_of("flood")));
    ASSERT_TRUE(calm.open(address_of("calm")));
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(add_match(greedy, "interface='org.example.Flood',arg0='s" + std::to_string(i) + "'"),
                  "ok");
    for (const char *share : {"s0", "s1"})
        ASSERT_EQ(add_match(modest, "interface='org.example.Flood',arg0='" + std::string(share) + "'"),
                  "ok");
    ASSERT_EQ(add_match(calm, "interface='org.example.Flood'"), "ok");
    std::vector<std::string> sent, to_modest;
    for (int i = 0; i < 32; ++i) {
        sent.push_back("s" + std::to_string(i % 8));
        if (sent.back() == "s0" || sent.back() == "s1")
            to_modest.push_back(sent.back());
        emit_blob(host, sent.back());
    }
    dbus_connection_flush(host.conn());
    EXPECT_TRUE(wait_until([&] {
        return daemon.log().find("[container flood] [SERVICE:]Client is not reading: ") !=
               std::string::npos;
    }, 20000ms)) << daemon.log();
    EXPECT_TRUE(greedy.read_until_disconnected(10000ms));
    EXPECT_EQ(blobs_read(calm, sent.size()), sent);
    EXPECT_EQ(blobs_read(modest, to_modest.size()), to_modest);
    round_trip(calm);
    round_trip(modest);
    EXPECT_EQ(count_lines(daemon.log(), "Client is not reading"), 1) << daemon.log();
}

TEST_F(Containers, AContainerAtItsClientLimitRefusesTheNextClient)
{
    write_conf("small", "max-clients 2\n");
    write_conf("other");
    start({"small", "other"});
    Client s1, s2, s3, o1, o2, o3;
    ASSERT_TRUE(s1.open(address_of("small")));
    ASSERT_TRUE(s2.open(address_of("small")));
    EXPECT_FALSE(s3.open(address_of("small")));
    EXPECT_EQ(count_lines(daemon.log(), "[container small] The container has 2 clients, its "
                                        "limit: refusing a new connection"),
              1)
        << daemon.log();
    for (Client *other : {&o1, &o2, &o3}) {
        ASSERT_TRUE(other->open(address_of("other"))) << daemon.log();
        round_trip(*other);
    }
    round_trip(s1);
    round_trip(s2);
    // A client that leaves makes room for the next.
    s2.close();
    EXPECT_TRUE(wait_until([&] {
        Client next;
        return next.open(address_of("small"), true);
    })) << daemon.log();
    round_trip(s1);
}
