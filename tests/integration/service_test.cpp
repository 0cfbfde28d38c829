// Running under a service manager (socket activation, readiness) and the
// audit that writes a client's policy.
#include "fixture.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <memory>

using namespace harness;

namespace {

MessagePtr call_with_arg(const char *destination, const char *path, const char *interface,
                         const char *member, const char *arg = nullptr)
{
    MessagePtr call(dbus_message_new_method_call(destination, path, interface, member));
    if (arg)
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &arg, DBUS_TYPE_INVALID);
    return call;
}

MessagePtr request_name(const char *name)
{
    MessagePtr call = call_with_arg(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                    "RequestName", name);
    const dbus_uint32_t flags = 0;
    dbus_message_append_args(call.get(), DBUS_TYPE_UINT32, &flags, DBUS_TYPE_INVALID);
    return call;
}

// The error's name, or "ok".
std::string outcome(Client &client, const MessagePtr &call)
{
    std::string error;
    return client.call(call, 5000, &error) ? "ok" : error.substr(0, error.find(':'));
}

std::string play(Client &client, const char *member)
{
    return outcome(client, call_with_arg("org.example.Player", "/player", "org.example.Player", member));
}

// What the audited client does: a call, a name looked up, signals
// subscribed to, a name owned.
void act(Client &client)
{
    EXPECT_EQ(play(client, "Play"), "ok");
    EXPECT_EQ(outcome(client, call_with_arg(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                            "GetNameOwner", "org.example.Absent")),
              DBUS_ERROR_NAME_HAS_NO_OWNER);
    EXPECT_EQ(outcome(client, call_with_arg(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                            "AddMatch",
                                            "type='signal',sender='org.example.Player',"
                                            "interface='org.example.Sig',member='Changed'")),
              "ok");
    EXPECT_EQ(outcome(client, request_name("org.example.App")), "ok");
}

bool signal_arrives(Client &client, DBusConnection *emitter)
{
    MessagePtr signal(dbus_message_new_signal("/player", "org.example.Sig", "Changed"));
    dbus_connection_send(emitter, signal.get(), nullptr);
    dbus_connection_flush(emitter);
    return bool(client.wait_message(
        [](DBusMessage *m) { return dbus_message_is_signal(m, "org.example.Sig", "Changed"); }));
}

class AuditTest : public ProxyTest {
protected:
    Peer player;
    void SetUp() override
    {
        ProxyTest::SetUp();
        ASSERT_TRUE(player.start(bus.address(), {"org.example.Player"}, echo_handler));
    }
};

} // namespace

TEST_F(AuditTest, PolicyWrittenForAClientAllowsItAndNothingMore)
{
    const std::string file = dir.file("app.policy");
    start_unix({"--audit=" + file});
    std::string unique;
    {
        Client client;
        ASSERT_TRUE(client.open(daemon.address()));
        unique = client.unique_name();
        act(client);
        act(client); // the second time logs nothing new
    }
    ASSERT_TRUE(wait_until([&] { return read_file(file).find("own org.example.App") != std::string::npos; }))
        << daemon.log();
    const std::string log = daemon.log();
    const std::string prefix =
        "[AUDIT dbus-proxy-daemon (" + std::to_string(daemon.process().pid()) + ")] " + unique + " ";
    for (const char *thing :
         {"called org.example.Player org.example.Player.Play at /player\n",
          "asked the bus about org.example.Absent\n",
          "subscribed to signals of org.example.Player: org.example.Sig.Changed\n",
          "asked to own org.example.App\n"}) {
        const size_t first = log.find(prefix + thing);
        EXPECT_NE(first, std::string::npos) << thing << log;
        EXPECT_EQ(log.find(prefix + thing, first + 1), std::string::npos) << "twice: " << thing;
    }
    const std::string policy = read_file(file);
    const std::string rules = policy.substr(policy.find("\nsee") + 1);
    // Sorted by name, so that a service's rules stand together.
    EXPECT_EQ(rules, "see org.example.Absent\n"
                     "own org.example.App\n"
                     "broadcast org.example.Player=org.example.Sig.Changed\n"
                     "call org.example.Player=org.example.Player.Play@/player\n")
        << policy;
    EXPECT_NE(policy.find("\n# client: "), std::string::npos) << policy;

    // The same client under the policy it produced: the same answers, the
    // signal it asked for, and nothing beyond.
    EXPECT_EQ(daemon.process().stop(), 0);
    start_unix({"--filter", "--policy=" + file, "--audit"});
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    act(client);
    EXPECT_TRUE(signal_arrives(client, player.conn()));
    EXPECT_EQ(play(client, "Pause"), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(outcome(client, call_with_arg("org.example.Player", "/other", "org.example.Player", "Play")),
              DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(outcome(client, request_name("org.example.Other")), DBUS_ERROR_ACCESS_DENIED);
    // The refusal is audited, and SIGUSR1 shows the policy that would
    // allow it too.
    daemon.process().signal(SIGUSR1);
    ASSERT_TRUE(wait_until([&] {
        return daemon.log().find("  call org.example.Player=org.example.Player.Pause@/player\n") !=
               std::string::npos;
    })) << daemon.log();
    EXPECT_NE(daemon.log().find(std::string(client.unique_name()) +
                                " was refused org.example.Player org.example.Player.Pause at /player\n"),
              std::string::npos)
        << daemon.log();
}

namespace {

// A datagram socket of the test's own in place of the service manager's.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &name)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@')
            address.sun_path[0] = '\0';
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&address),
                      offsetof(sockaddr_un, sun_path) + name.size()) == 0;
    }
    ~NotifySocket() { close(fd_); }
    bool bound() const { return bound_; }
    // The next datagram, or "" after 5 s.
    std::string next()
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return "";
        char buffer[256];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, n) : "";
    }

private:
    int fd_;
    bool bound_ = false;
};

} // namespace

TEST_F(ProxyTest, ReadinessReloadAndStopReachTheServiceManager)
{
    for (const std::string &name :
         {dir.file("notify"), "@dpd-notify-" + std::to_string(getpid())}) {
        SCOPED_TRACE(name);
        NotifySocket manager(name);
        ASSERT_TRUE(manager.bound());
        Daemon daemon(dir.path(), bus.address());
        daemon.extra_env = {"NOTIFY_SOCKET=" + name};
        ASSERT_TRUE(daemon.start_unix());
        EXPECT_EQ(manager.next(), "READY=1");
        EXPECT_TRUE(unix_socket_listening(daemon.socket_path()));
        daemon.process().signal(SIGHUP);
        EXPECT_EQ(manager.next().rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u);
        EXPECT_EQ(manager.next(), "READY=1");
        daemon.process().signal(SIGTERM);
        EXPECT_EQ(manager.next(), "STOPPING=1");
        EXPECT_EQ(daemon.process().wait_exit(), 0);
    }
}

TEST_F(ProxyTest, ServesTheSocketsTheServiceManagerPasses)
{
    const std::string unix_path = dir.file("activated.sock");
    const std::string port = std::to_string(free_tcp_port());
    const std::string second_path = dir.file("second.sock");
    const std::string second_port = std::to_string(free_tcp_port());
    struct Socket {
        std::string listen, address;
    };
    // One socket of each kind, then a path and a port passed together.
    const std::vector<std::vector<Socket>> cases = {
        {{unix_path, "unix:path=" + unix_path}},
        {{"127.0.0.1:" + port, "tcp:host=127.0.0.1,port=" + port}},
        {{second_path, "unix:path=" + second_path},
         {"127.0.0.1:" + second_port, "tcp:host=127.0.0.1,port=" + second_port}}};
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].front().listen);
        const std::string log = dir.file("tolm-dbus-proxy-sess.log");
        unlink(log.c_str());
        const std::string err = dir.file("manager.err." + std::to_string(i));
        std::vector<std::string> argv = {"systemd-socket-activate"};
        for (const Socket &socket : cases[i])
            argv.insert(argv.end(), {"-l", socket.listen});
        // The address options name a socket that must not be made.
        argv.insert(argv.end(), {"-E", "DBUS_SESSION_BUS_ADDRESS=" + bus.address(), "-E",
                                 "DPD_TEST_LOG_DIR=" + dir.path(), test_daemon_path(),
                                 "--verbose", "2", "--family", "unix", "--socket",
                                 dir.file("unused.sock")});
        Process manager;
        ASSERT_TRUE(manager.start(argv, {}, "", err));
        ASSERT_TRUE(wait_until([&] {
            const std::string text = read_file(err);
            size_t n = 0;
            for (size_t at = text.find("Listening on"); at != std::string::npos;
                 at = text.find("Listening on", at + 1))
                ++n;
            return n == cases[i].size();
        })) << read_file(err);
        // Every socket serves, each client while the other is connected.
        std::vector<std::unique_ptr<Client>> clients;
        for (const Socket &socket : cases[i]) {
            clients.push_back(std::make_unique<Client>());
            ASSERT_TRUE(clients.back()->open(socket.address)) << socket.address;
            round_trip(*clients.back());
        }
        clients.clear();
        EXPECT_NE(read_file(log).find("Serving the " + std::to_string(cases[i].size()) +
                                      " socket(s) passed by the service manager"),
                  std::string::npos)
            << read_file(log);
        EXPECT_NE(access(dir.file("unused.sock").c_str(), F_OK), 0);
        const int status = manager.stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // The service manager's socket file outlives the daemon.
    struct stat st {};
    EXPECT_EQ(stat(unix_path.c_str(), &st), 0);
}
