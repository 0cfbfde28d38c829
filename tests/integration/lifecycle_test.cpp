// Start-up, disconnection and failure paths of the daemon process.
#include "fixture.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

using namespace harness;

namespace {

bool name_has_owner(Client &observer, const std::string &name)
{
    DBusError err;
    dbus_error_init(&err);
    bool has = dbus_bus_name_has_owner(observer.conn(), name.c_str(), &err);
    dbus_error_free(&err);
    return has;
}

// Whether a server accepts at `path` now: the kernel's table of sockets
// still shows a path that was renamed away, so only a connection tells.
bool accepts_at(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    const bool accepted = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return accepted;
}

} // namespace

TEST_F(ProxyTest, DisconnectClosesBothConnectionsAndOthersKeepWorking)
{
    start_unix({"--verbose", "2"});
    Client observer;
    ASSERT_TRUE(observer.open(bus.address()));
    Client stays, leaves;
    ASSERT_TRUE(stays.open(daemon.address()));
    ASSERT_TRUE(leaves.open(daemon.address()));
    std::string gone = leaves.unique_name();
    ASSERT_TRUE(name_has_owner(observer, gone));

    leaves.close();
    EXPECT_TRUE(wait_until([&] { return !name_has_owner(observer, gone); }));
    EXPECT_TRUE(wait_until([&] {
        return daemon.log().find("[CLIENT:][NULL]connection was disconnected\n") !=
               std::string::npos;
    })) << daemon.log();
    round_trip(stays);
}

TEST_F(ProxyTest, HundredClientsInARowLeaveNoDescriptorsBehind)
{
    start_unix();
    {
        Client warmup;
        ASSERT_TRUE(warmup.open(daemon.address()));
        round_trip(warmup);
    }
    ASSERT_TRUE(wait_until([&] { return daemon.open_fd_count() > 0; }));
    // Let the warm-up client's teardown finish before taking the baseline.
    std::this_thread::sleep_for(200ms);
    const int baseline = daemon.open_fd_count();
    for (int i = 0; i < 100; ++i) {
        Client c;
        ASSERT_TRUE(c.open(daemon.address())) << i;
        round_trip(c);
    }
    EXPECT_TRUE(wait_until([&] { return daemon.open_fd_count() == baseline; }))
        << daemon.open_fd_count() << " vs " << baseline;
}

TEST_F(ProxyTest, IdleClientsCostTheDaemonLittleMemory)
{
    if (harness::sanitized_build)
        GTEST_SKIP() << "the sanitizer's own bookkeeping dwarfs what is measured";
    start_unix();
    std::vector<std::unique_ptr<Client>> clients;
    // The first client pays for what the daemon sets up once.
    clients.push_back(std::make_unique<Client>());
    ASSERT_TRUE(clients.back()->open(daemon.address()));
    round_trip(*clients.back());
    std::this_thread::sleep_for(200ms);
    const long before = daemon.rss_kib();
    constexpr int idle = 100;
    for (int i = 0; i < idle; ++i) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_TRUE(clients.back()->open(daemon.address())) << i;
    }
    const double per_client = double(daemon.rss_kib() - before) / idle;
    // About 14 KiB, nearly all of it libdbus's two connections; a buffer or
    // table kept per client by mistake shows here.
    EXPECT_LT(per_client, 20.0) << before << " KiB before";
}

TEST_F(ProxyTest, GarbageAndFailedAuthenticationCostOnlyThatConnection)
{
    start_unix();
    // Served first, and kept: the daemon has opened its own descriptors
    // (loop, list watch) by then, and this client's stay for the count.
    Client first;
    ASSERT_TRUE(first.open(daemon.address()));
    round_trip(first);
    const int baseline = daemon.open_fd_count();
    for (const std::string &payload :
         {std::string("\0AUTH NONSENSE\r\nBEGIN\r\n", 23), std::string("hello world\r\n"),
          std::string("\0AUTH ANONYMOUS\r\nBEGIN\r\n\xff\xff\xff\xff garbage", 34)}) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", daemon.socket_path().c_str());
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(send(fd, payload.data(), payload.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(payload.size()));
        std::this_thread::sleep_for(50ms);
        close(fd);
    }
    Client c;
    ASSERT_TRUE(c.open(daemon.address()));
    round_trip(c);
    c.close();
    EXPECT_TRUE(wait_until([&] { return daemon.open_fd_count() == baseline; }))
        << daemon.open_fd_count() << " vs " << baseline;
}

TEST_F(ProxyTest, LostBusConnectionEndsOnlyThatPair)
{
    start_unix({"--verbose", "1"});
    Client victim, other;
    ASSERT_TRUE(victim.open(daemon.address()));
    ASSERT_TRUE(other.open(daemon.address()));
    // Every pair loses its private connection when the bus goes away;
    // libdbus would _exit() the daemon unless that is handled per pair.
    bus.stop();
    EXPECT_TRUE(wait_until([&] {
        return daemon.log().find("[SERVICE:]Lost the connection to the session bus, closing its "
                                 "client\n") != std::string::npos;
    })) << daemon.log();
    EXPECT_TRUE(wait_until([&] { return !dbus_connection_read_write(victim.conn(), 10); }));
    EXPECT_TRUE(daemon.process().running());

    // The bus comes back at the same address: new clients are served again.
    ASSERT_TRUE(bus.start());
    Client again;
    ASSERT_TRUE(again.open(daemon.address()));
    round_trip(again);
}

TEST_F(ProxyTest, UnreachableBusDropsTheClientButNotTheDaemonAndIsLoggedOnceASecond)
{
    daemon.set_bus_address("unix:path=" + dir.file("no-such-bus"));
    start_unix({"--system"});
    const std::string line = "] Failed to open connection to system bus: ";
    // Every failure is either a line or counted in the next one.
    auto failures_told = [&](size_t *lines) {
        const std::string log = daemon.log();
        size_t told = 0;
        *lines = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
            ++*lines;
            const std::string text = log.substr(at, log.find('\n', at) - at);
            const size_t more = text.rfind(" (");
            told += 1;
            if (more != std::string::npos && text.find(" more like it since") != std::string::npos)
                told += std::stoul(text.substr(more + 2));
        }
        return told;
    };
    // Two seconds of steady failures: a line at the first, then at most one
    // a second, each found by the test right after the failure it tells.
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::chrono::steady_clock::time_point> seen_at;
    size_t attempts = 0, lines = 0;
    while (std::chrono::steady_clock::now() - started < 2000ms) {
        Client c;
        EXPECT_FALSE(c.open(daemon.address()));
        ++attempts;
        failures_told(&lines);
        if (lines > seen_at.size())
            seen_at.push_back(std::chrono::steady_clock::now());
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_GE(lines, 2u) << daemon.log();
    EXPECT_LE(lines, 3u) << daemon.log();
    for (size_t i = 1; i < seen_at.size(); ++i)
        EXPECT_GT(seen_at[i] - seen_at[i - 1], 500ms) << "line " << i;
    // The next line, a second on, counts every failure held back.
    std::this_thread::sleep_for(1100ms);
    Client last;
    EXPECT_FALSE(last.open(daemon.address()));
    EXPECT_TRUE(wait_until([&] { return failures_told(&lines) == attempts + 1; })) << daemon.log();
    EXPECT_NE(daemon.log().find("[FATAL dbus-proxy-daemon ("), std::string::npos);
    EXPECT_TRUE(daemon.process().running());
}

TEST_F(ProxyTest, EmptySessionBusAddressCountsAsUnset)
{
    // As libdbus does: the user's bus under $XDG_RUNTIME_DIR instead.
    const std::string runtime = dir.file("runtime");
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    const std::string bus_socket = bus.address().substr(std::string("unix:path=").size());
    ASSERT_EQ(symlink(bus_socket.c_str(), (runtime + "/bus").c_str()), 0);
    daemon.set_bus_address("");
    daemon.extra_env.push_back("XDG_RUNTIME_DIR=" + runtime);
    start_unix();
    Client c;
    ASSERT_TRUE(c.open(daemon.address()));
    round_trip(c);
}

TEST_F(ProxyTest, ListenFailuresExitWithStatusOne)
{
    int port = free_tcp_port();
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(holder, 1), 0);

    std::string out;
    const std::string p = std::to_string(port);
    EXPECT_EQ(run_command({daemon_path(), "--bind", "127.0.0.1", "--port", p}, {}, &out, nullptr),
              1);
    EXPECT_NE(out.find("] Cannot listen on 'tcp:host=localhost,bind=127.0.0.1,port=" + p +
                       ",family=ipv4':"),
              std::string::npos)
        << out;
    close(holder);

    EXPECT_EQ(run_command({daemon_path(), "--family", "unix"}, {}, &out, nullptr), 1);
    EXPECT_NE(out.find("[FATAL dbus-proxy-daemon ("), std::string::npos) << out;
    EXPECT_NE(out.find("--socket"), std::string::npos) << out;
    EXPECT_EQ(run_command({daemon_path(), "--family", "ipx"}, {}, &out, nullptr), 1);
    EXPECT_NE(out.find("ipv6"), std::string::npos) << out;
}

TEST_F(ProxyTest, TraceDumpsEveryRelayedMessage)
{
    start_unix({"--trace"});
    Client c;
    ASSERT_TRUE(c.open(daemon.address()));
    round_trip(c);
    c.close();
    const std::string log = daemon.log();
    EXPECT_NE(log.find("[CLIENT:]New message from client: type='1' path='/org/freedesktop/DBus' "
                       "iface='org.freedesktop.DBus',member='GetId',dest='org.freedesktop.DBus'\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[SERVICE:]New message from server: sender='org.freedesktop.DBus',type='2' "
                       "path='(null)' iface='(null)' member='(null)', dest='"),
              std::string::npos)
        << log;
}

TEST_F(ProxyTest, ListensOnIpv6AndServesClientsThere)
{
    const std::string port = std::to_string(free_tcp_port());
    ASSERT_TRUE(daemon.start({"--family", "ipv6", "--host", "::1", "--bind", "::1", "--port", port,
                              "--verbose", "2"}));
    Client client;
    // The address as a client writes it: the literal escaped.
    const std::string address = "tcp:host=%3a%3a1,port=" + port + ",family=ipv6";
    EXPECT_TRUE(wait_until([&] { return client.open(address); })) << daemon.log();
    round_trip(client);
    EXPECT_NE(daemon.log().find("Listen on address: tcp:host=%3a%3a1,bind=%3a%3a1,port=" + port +
                                ",family=ipv6\n"),
              std::string::npos)
        << daemon.log();
}

TEST_F(ProxyTest, SocketInUseIsNeverTakenOverAndOnlyOurOwnIsRemovedAtExit)
{
    start_unix();
    const std::string path = daemon.socket_path();
    const std::vector<std::string> env{"DBUS_SESSION_BUS_ADDRESS=" + bus.address()};
    auto second_daemon = [&](Process &p, const std::string &socket) {
        return p.start({test_daemon_path(), "--family", "unix", "--socket", socket}, env,
                       dir.file("second.out"), dir.file("second.err"));
    };

    // A daemon serves the path: the second one says so and exits 1.
    std::string out;
    EXPECT_EQ(run_command({test_daemon_path(), "--family", "unix", "--socket", path}, env, &out,
                          nullptr),
              1);
    EXPECT_NE(out.find("] Cannot listen on 'unix:path=" + path + "':"), std::string::npos) << out;
    Client first;
    ASSERT_TRUE(first.open(daemon.address()));
    round_trip(first);

    // A stale socket (no one listens) is replaced.
    const std::string stale = dir.file("stale.sock");
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", stale.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        close(fd);
    }
    Process replacing;
    ASSERT_TRUE(second_daemon(replacing, stale));
    EXPECT_TRUE(wait_until([&] { return unix_socket_listening(stale); }))
        << read_file(dir.file("second.out"));
    EXPECT_EQ(replacing.stop(), 0);
    EXPECT_NE(access(stale.c_str(), F_OK), 0) << "its own socket stays behind";

    // The path was taken over (the first daemon's file moved away): the
    // first daemon's exit leaves the newer socket alone.
    ASSERT_EQ(rename(path.c_str(), (path + ".old").c_str()), 0);
    Process successor;
    ASSERT_TRUE(second_daemon(successor, path));
    ASSERT_TRUE(wait_until([&] { return accepts_at(path); }));
    const int status = daemon.process().stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    Client later;
    EXPECT_TRUE(later.open(daemon.address())) << "the successor's socket was removed";
    EXPECT_EQ(successor.stop(), 0);
}
