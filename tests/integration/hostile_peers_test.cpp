// Peers that never finish connecting, never read, or flood: each may cost
// only its own connection, within stated bounds, never the bus's quota or
// the other clients' service.
#include "fixture.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

using namespace harness;

namespace {

// A bare TCP connection to the daemon, driven by hand.
class RawTcp {
public:
    explicit RawTcp(int port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawTcp()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    bool send_bytes(const std::string &bytes)
    {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    std::string read_some()
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return {};
        char buf[512];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    // Stops at the first sign of the peer closing; false while still open.
    bool closed()
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            return false;
        char buf[512];
        return recv(fd_, buf, sizeof buf, MSG_DONTWAIT) <= 0;
    }

private:
    int fd_ = -1;
};

// Unique names on the bus: one per connection.
int bus_connections(const std::string &bus_address)
{
    Client probe;
    if (!probe.open(bus_address))
        return -1;
    MessagePtr call = bus_call("ListNames");
    MessagePtr reply = probe.call(call);
    if (!reply)
        return -1;
    char **names = nullptr;
    int count = 0, unique = 0;
    dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &names, &count,
                          DBUS_TYPE_INVALID);
    for (int i = 0; i < count; ++i)
        unique += names[i][0] == ':';
    dbus_free_string_array(names);
    return unique - 1; // not the probe itself
}

class HostilePeers : public ProxyTest {
protected:
    int port = 0;
    std::string tcp_address;

    void start_tcp(std::vector<std::string> extra = {})
    {
        port = free_tcp_port();
        ASSERT_GT(port, 0);
        std::vector<std::string> args{"--bind", "127.0.0.1", "--port", std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(daemon.start(args));
        tcp_address = "tcp:host=127.0.0.1,port=" + std::to_string(port);
        ASSERT_TRUE(wait_until([&] {
            Client probe;
            return probe.open(tcp_address, false);
        }));
    }
};

// A stream of unicast signals from a host connection to `destination`.
void send_signals(DBusConnection *host, const std::string &destination, int count, size_t size,
                  int fd = -1)
{
    std::string text(size, 'x');
    for (int i = 0; i < count; ++i) {
        MessagePtr sig(dbus_message_new_signal("/", "org.example.Flood", "Item"));
        dbus_message_set_destination(sig.get(), destination.c_str());
        const char *p = text.c_str();
        dbus_message_append_args(sig.get(), DBUS_TYPE_STRING, &p, DBUS_TYPE_INVALID);
        if (fd >= 0)
            dbus_message_append_args(sig.get(), DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID);
        dbus_connection_send(host, sig.get(), nullptr);
        if (i % 256 == 0)
            dbus_connection_flush(host);
    }
    dbus_connection_flush(host);
}

} // namespace

TEST_F(HostilePeers, SilentSocketsHoldNothingOnTheBusAndAreClosedInTime)
{
    daemon.extra_env.push_back("DPD_TEST_IDLE_TIMEOUT_MS=2000");
    start_tcp({"--verbose", "3"});
    Client served;
    ASSERT_TRUE(served.open(tcp_address));
    round_trip(served);
    const int connections_before = bus_connections(bus.address());

    // 300 that send nothing, and 20 stopped in each later state.
    std::vector<std::unique_ptr<RawTcp>> idle;
    for (int i = 0; i < 300; ++i)
        idle.push_back(std::make_unique<RawTcp>(port));
    for (int i = 0; i < 60; ++i) {
        auto raw = std::make_unique<RawTcp>(port);
        if (i % 3 >= 1) {
            raw->send_bytes(std::string("\0AUTH ANONYMOUS\r\n", 17));
            if (i % 3 == 2 && raw->read_some().rfind("OK ", 0) == 0)
                raw->send_bytes("BEGIN\r\n");
        }
        idle.push_back(std::move(raw));
    }
    // Past the cap of silent clients, the oldest are closed at once and the
    // newest kept (the first 300 sent nothing, so nothing is left to read).
    const size_t cap = 64;
    EXPECT_TRUE(wait_until([&] {
        for (size_t i = 0; i + cap < idle.size(); ++i)
            if (!idle[i]->closed())
                return false;
        return true;
    }));
    for (size_t i = idle.size() - cap; i < 300; ++i)
        EXPECT_FALSE(idle[i]->closed()) << i;
    EXPECT_EQ(bus_connections(bus.address()), connections_before);
    round_trip(served);

    EXPECT_NE(daemon.log().find("] [CLIENT:]64 connections are still authenticating, closing the "
                                "oldest\n"),
              std::string::npos)
        << daemon.log();
    // The rest go when their time is up.
    EXPECT_TRUE(wait_until(
        [&] {
            for (auto &raw : idle)
                if (!raw->closed())
                    return false;
            return true;
        },
        8000ms));
    const std::string log = daemon.log();
    EXPECT_NE(log.find("[CLIENT:]Client did not authenticate within 2000 ms, closing it\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("[CLIENT:]Client sent nothing within 2000 ms of authenticating, closing it\n"),
              std::string::npos) << log;

    Client later;
    ASSERT_TRUE(later.open(tcp_address));
    round_trip(later);
    round_trip(served);
}

TEST_F(HostilePeers, BusWithASmallQuotaServesRealClientsWhileSocketsIdle)
{
    bus.stop();
    // Eight for the clients and one for the daemon's own connection, which
    // serves the containers interface.
    bus.extra_config = "  <limit name=\"max_connections_per_user\">9</limit>\n";
    ASSERT_TRUE(bus.start());
    start_tcp();
    std::vector<std::unique_ptr<RawTcp>> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(std::make_unique<RawTcp>(port));
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_TRUE(clients.back()->open(tcp_address)) << "client " << i;
    }
    for (auto &client : clients)
        round_trip(*client);
}

TEST_F(ProxyTest, ClientThatStopsReadingDescriptorsIsCutOffAtTheBound)
{
    start_unix({"--verbose", "1"});
    Client stuck, sender, innocent;
    ASSERT_TRUE(stuck.open(daemon.address()));
    ASSERT_TRUE(sender.open(daemon.address()));
    ASSERT_TRUE(innocent.open(daemon.address()));
    Peer echo;
    ASSERT_TRUE(echo.start(bus.address(), {"org.example.Echo"}, echo_handler));
    const int baseline = daemon.open_fd_count();

    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    // The stuck client's socket buffer takes a few hundred; the rest queue.
    for (int round = 0; round < 20; ++round) {
        send_signals(sender.conn(), stuck.unique_name(), 200, 16, pipe_fds[0]);
        // An innocent client passes descriptors meanwhile.
        MessagePtr call(
            dbus_message_new_method_call("org.example.Echo", "/", "org.example.Echo", "Fd"));
        dbus_message_append_args(call.get(), DBUS_TYPE_UNIX_FD, &pipe_fds[1], DBUS_TYPE_INVALID);
        MessagePtr reply = innocent.call(call);
        ASSERT_TRUE(reply);
        EXPECT_TRUE(dbus_message_contains_unix_fds(reply.get()));
        if (daemon.log().find("[SERVICE:]Client is not reading: ") != std::string::npos)
            break;
    }
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_TRUE(wait_until([&] {
        return daemon.log().find("[SERVICE:]Client is not reading: ") != std::string::npos;
    })) << daemon.log();
    EXPECT_TRUE(wait_until([&] { return !dbus_connection_read_write(stuck.conn(), 10); }, 10000ms));
    // Its queued descriptors went with it.
    EXPECT_TRUE(wait_until([&] { return daemon.open_fd_count() <= baseline; }))
        << daemon.open_fd_count() << " descriptors, " << baseline << " before";
    round_trip(innocent);
}

TEST_F(ProxyTest, ClientThatStopsReadingCostsBoundedMemory)
{
    start_unix({"--verbose", "1"});
    Client bystander;
    ASSERT_TRUE(bystander.open(daemon.address()));
    Client host;
    ASSERT_TRUE(host.open(bus.address()));

    struct Case {
        int count;
        size_t size;
    };
    // Tiny messages cost libdbus far more than their bytes, and count so;
    // large ones reach the byte bound by their bytes.
    for (const Case &c : {Case{100000, 80}, Case{64, 1024 * 1024}}) {
        SCOPED_TRACE(c.size);
        Client stuck;
        ASSERT_TRUE(stuck.open(daemon.address()));
        round_trip(bystander);
        const long rss_before = daemon.rss_kib();
        const std::string name = stuck.unique_name();
        send_signals(host.conn(), name, c.count, c.size);
        // Cut off: its name leaves the bus (the WARN line may be one
        // counted in the next, at most one a second).
        EXPECT_TRUE(wait_until(
            [&] { return !dbus_bus_name_has_owner(host.conn(), name.c_str(), nullptr); }, 20000ms))
            << daemon.log();
        if (!harness::sanitized_build) {
            EXPECT_LT(daemon.rss_kib() - rss_before, 48 * 1024) << rss_before << " KiB before";
        }
        round_trip(bystander);
    }
}

TEST_F(ProxyTest, ClientWhoseBusStopsReadingIsCutOff)
{
    daemon.extra_env.push_back("DPD_TEST_MAX_QUEUED_BYTES=1048576");
    start_unix({"--verbose", "1"});
    Client flooder;
    ASSERT_TRUE(flooder.open(daemon.address()));
    ASSERT_TRUE(bus.signal(SIGSTOP));
    std::vector<unsigned char> blob(256 * 1024, 0x5a);
    for (int i = 0; i < 64; ++i) {
        MessagePtr call(
            dbus_message_new_method_call("org.example.Nobody", "/", "org.example.X", "Y"));
        dbus_message_set_no_reply(call.get(), TRUE);
        const unsigned char *data = blob.data();
        dbus_message_append_args(call.get(), DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data,
                                 static_cast<int>(blob.size()), DBUS_TYPE_INVALID);
        dbus_connection_send(flooder.conn(), call.get(), nullptr);
        dbus_connection_read_write(flooder.conn(), 10);
    }
    const bool warned = wait_until([&] {
        dbus_connection_read_write(flooder.conn(), 10);
        return daemon.log().find("[CLIENT:]The bus is not reading: ") != std::string::npos;
    }, 10000ms);
    const bool cut_off = flooder.read_until_disconnected(20000ms);
    bus.signal(SIGCONT);
    EXPECT_TRUE(warned) << daemon.log();
    EXPECT_TRUE(cut_off);
    Client after;
    ASSERT_TRUE(after.open(daemon.address()));
    round_trip(after);
}

TEST_F(ProxyTest, PausedClientKeepsItsConnectionThrough50000SmallSignals)
{
    start_unix({"--verbose", "1"});
    Client host, paused;
    ASSERT_TRUE(host.open(bus.address()));
    ASSERT_TRUE(paused.open(daemon.address()));
    round_trip(paused);
    constexpr int count = 50000;
    send_signals(host.conn(), paused.unique_name(), count, 80);
    round_trip(host); // the bus has passed them all on

    // Resumed, it receives every one of them.
    int received = 0;
    paused.wait_message(
        [&](DBusMessage *m) {
            received += dbus_message_is_signal(m, "org.example.Flood", "Item");
            return received == count;
        },
        30000ms);
    EXPECT_EQ(received, count);
    EXPECT_EQ(daemon.log().find("Client is not reading"), std::string::npos) << daemon.log();
}
