// What one client can cost everyone else: a huge match rule, queues that
// nobody reads, and what is found at the socket path at start.
#include "fixture.h"

#include <mutex>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace harness;

namespace {

// Round trips through `address` on a thread of their own, keeping the
// slowest, until stopped.
class Pinger {
public:
    explicit Pinger(const std::string &address)
    {
        ok_ = client_.open(address);
        thread_ = std::thread([this] {
            while (ok_ && !stop_) {
                const auto start = std::chrono::steady_clock::now();
                if (!client_.call(bus_call("GetId"), 10000))
                    ++failures_;
                slowest_ = std::max(slowest_.load(), std::chrono::steady_clock::now() - start);
                ++calls_;
            }
        });
    }
    ~Pinger() { stop(); }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    bool ok() const { return ok_; }
    std::chrono::milliseconds slowest() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(slowest_.load());
    }
    int calls() const { return calls_; }
    int failures() const { return failures_; }

private:
    Client client_;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<std::chrono::steady_clock::duration> slowest_{};
    std::atomic<int> calls_{0}, failures_{0};
    std::thread thread_;
};

MessagePtr add_match(const std::string &rule)
{
    MessagePtr call = bus_call("AddMatch");
    const char *text = rule.c_str();
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    return call;
}

// The error name of the answer to `call`, or "ok".
std::string answer(Client &client, const MessagePtr &call, int timeout_ms = 5000)
{
    std::string error;
    if (client.call(call, timeout_ms, &error))
        return "ok";
    return error.substr(0, error.find(':'));
}

} // namespace

TEST_F(ProxyTest, MatchRulesAreReadAndBoundedBeforeTheyAreTranslated)
{
    // A bus that drops whoever sends it more than 4 MiB at once.
    bus.stop();
    bus.extra_config = "  <limit name=\"max_message_size\">4194304</limit>\n";
    ASSERT_TRUE(bus.start());
    daemon.set_bus_address(bus.address());
    // The player runs under the namespace: a rule's sender is translated.
    write_file(daemon.activation_list("dbus-sess-proxy.list"),
               "org.example.Player=org.example.Player.docker\n");
    Peer player;
    ASSERT_TRUE(player.start(bus.address(), {"org.example.Player.docker"}, echo_handler));
    start_unix({"--namespace-lookups"});
    Client offender;
    ASSERT_TRUE(offender.open(daemon.address()));
    const long rss_before = daemon.rss_kib();

    // 16 MiB in one rule is answered as the bus answers a rule too long,
    // without reaching the bus; another client is served meanwhile.
    Pinger pinger(daemon.address());
    ASSERT_TRUE(pinger.ok());
    std::this_thread::sleep_for(100ms);
    const std::string huge = "sender='org.example.Player',arg0='" + std::string(16 << 20, 'x') + "'";
    EXPECT_EQ(answer(offender, add_match(huge), 30000), DBUS_ERROR_LIMITS_EXCEEDED);
    round_trip(offender);
    pinger.stop();
    // Before, the other clients stalled for seconds; a wide margin keeps a
    // loaded or sanitized run from failing on what libdbus needs anyway.
    EXPECT_LT(pinger.slowest(), 1000ms) << pinger.calls() << " calls";
    EXPECT_EQ(pinger.failures(), 0);
    if (!sanitized_build) {
        // What libdbus needs to read the message, and no copy of it.
        EXPECT_LT(daemon.peak_rss_kib() - rss_before, 48 * 1024) << rss_before << " KiB before";
    }

    // The bus's own limit, to the byte.
    const std::string head = "sender='org.example.Other',arg0='";
    EXPECT_EQ(answer(offender, add_match(head + std::string(1023 - head.size(), 'x') + "'")), "ok");
    // One byte more: the answer is the bus's, in its name.
    DBusPendingCall *pending = nullptr;
    ASSERT_TRUE(dbus_connection_send_with_reply(
        offender.conn(), add_match(head + std::string(1024 - head.size(), 'x') + "'").get(),
        &pending, 5000));
    dbus_pending_call_block(pending);
    MessagePtr refusal(dbus_pending_call_steal_reply(pending));
    dbus_pending_call_unref(pending);
    ASSERT_TRUE(refusal);
    EXPECT_STREQ(dbus_message_get_error_name(refusal.get()), DBUS_ERROR_LIMITS_EXCEEDED);
    EXPECT_STREQ(dbus_message_get_sender(refusal.get()), DBUS_SERVICE_DBUS);
    round_trip(offender);
}

namespace {

constexpr size_t blob_size = 256 * 1024;

// A signal of `blob_size` bytes, its first argument naming its share.
void emit_blob(Client &host, const std::string &share)
{
    static const std::vector<unsigned char> blob(blob_size, 0x5a);
    MessagePtr signal(dbus_message_new_signal("/", "org.example.Flood", "Blob"));
    const char *label = share.c_str();
    const unsigned char *data = blob.data();
    dbus_message_append_args(signal.get(), DBUS_TYPE_STRING, &label, DBUS_TYPE_ARRAY,
                             DBUS_TYPE_BYTE, &data, static_cast<int>(blob.size()),
                             DBUS_TYPE_INVALID);
    dbus_connection_send(host.conn(), signal.get(), nullptr);
}

// The shares of the Blob signals that reach `client` in the next `timeout`.
std::vector<std::string> blobs_read(Client &client, std::chrono::milliseconds timeout)
{
    std::vector<std::string> shares;
    client.wait_message(
        [&](DBusMessage *m) {
            const char *share = nullptr;
            if (dbus_message_is_signal(m, "org.example.Flood", "Blob") &&
                dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &share, DBUS_TYPE_INVALID))
                shares.push_back(share);
            return false;
        },
        timeout);
    return shares;
}

} // namespace

TEST_F(ProxyTest, PastTheDaemonsBoundTheClientHoldingMostGoesFirst)
{
    // Each client alone is far below its own bound (32 MiB); all of them
    // together pass the daemon's.
    daemon.extra_env.push_back("DPD_TEST_DAEMON_MAX_QUEUED_BYTES=" + std::to_string(4 << 20));
    start_unix({"--verbose", "1"});
    // None of them reads once subscribed: the greedy one hears 8 MiB of
    // signals, the others 2 MiB and 1 MiB.
    Client greedy, half, quarter, host;
    ASSERT_TRUE(host.open(bus.address()));
    const struct {
        Client &client;
        std::vector<std::string> rules;
    } subscribers[] = {
        {greedy, {"interface='org.example.Flood'"}},
        {half, {"interface='org.example.Flood',arg0='s0'", "interface='org.example.Flood',arg0='s1'"}},
        {quarter, {"interface='org.example.Flood',arg0='s0'"}},
    };
    for (const auto &s : subscribers) {
        ASSERT_TRUE(s.client.open(daemon.address()));
        for (const std::string &rule : s.rules)
            ASSERT_EQ(answer(s.client, add_match(rule)), "ok");
    }
    std::vector<std::string> sent;
    for (int i = 0; i < 32; ++i) {
        sent.push_back("s" + std::to_string(i % 8));
        emit_blob(host, sent.back());
    }
    dbus_connection_flush(host.conn());
    EXPECT_TRUE(wait_until([&] {
        return daemon.log().find("[SERVICE:]Client is not reading: ") != std::string::npos;
    }, 20000ms)) << daemon.log();

    // The greedy one is gone; the others read all that was meant for them,
    // in order, and go on.
    EXPECT_TRUE(greedy.read_until_disconnected(10000ms));
    std::vector<std::string> to_half, to_quarter;
    for (const std::string &share : sent) {
        if (share == "s0" || share == "s1")
            to_half.push_back(share);
        if (share == "s0")
            to_quarter.push_back(share);
    }
    EXPECT_EQ(blobs_read(half, 1000ms), to_half);
    EXPECT_EQ(blobs_read(quarter, 1000ms), to_quarter);
    round_trip(half);
    round_trip(quarter);
}

namespace {

// A unix socket bound at `path`, listening or not; its descriptor.
int bound_socket(const std::string &path, bool listening)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        (listening && listen(fd, 4) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

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

TEST_F(ProxyTest, AnythingButAStaleSocketOfOursAtThePathIsRefused)
{
    const std::string live = dir.file("live.sock"), stale = dir.file("stale.sock");
    const int server = bound_socket(live, true);
    ASSERT_GE(server, 0);
    const int stale_fd = bound_socket(stale, false);
    ASSERT_GE(stale_fd, 0);
    close(stale_fd);

    std::vector<std::pair<std::string, std::function<bool(const std::string &)>>> cases = {
        {"link-to-live", [&](const std::string &p) { return symlink(live.c_str(), p.c_str()) == 0; }},
        {"link-to-stale", [&](const std::string &p) { return symlink(stale.c_str(), p.c_str()) == 0; }},
        {"dangling-link", [&](const std::string &p) { return symlink("nothing", p.c_str()) == 0; }},
        {"file", [](const std::string &p) { write_file(p, "data"); return true; }},
        {"directory", [](const std::string &p) { return mkdir(p.c_str(), 0700) == 0; }},
    };
    if (geteuid() == 0)
        cases.push_back({"other-users-stale-socket", [](const std::string &p) {
                             const int fd = bound_socket(p, false);
                             close(fd);
                             return fd >= 0 && chown(p.c_str(), 65534, 65534) == 0;
                         }});
    for (const auto &[name, make] : cases) {
        const std::string path = dir.file(name);
        ASSERT_TRUE(make(path)) << name;
        struct stat before{}, after{};
        ASSERT_EQ(lstat(path.c_str(), &before), 0);
        std::string out;
        EXPECT_EQ(run_command({test_daemon_path(), "--family", "unix", "--socket", path},
                              {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()}, &out, nullptr,
                              5000ms),
                  1)
            << name;
        EXPECT_NE(out.find("] Cannot listen on 'unix:path=" + path + "':"), std::string::npos)
            << name << ": " << out;
        // Left as it was.
        ASSERT_EQ(lstat(path.c_str(), &after), 0) << name;
        EXPECT_EQ(after.st_ino, before.st_ino) << name;
        EXPECT_EQ(after.st_mode, before.st_mode) << name;
    }
    EXPECT_TRUE(accepts_at(live)) << "the other server lost its socket";
    close(server);
}

TEST_F(ProxyTest, OneMessageLargerThanTheQueueBoundStillGoesThroughBothWays)
{
    // Each side reads no more than twice the bound before what it read is
    // written on: the 4 MiB message passes it alone.
    daemon.extra_env.push_back("DPD_TEST_MAX_QUEUED_BYTES=" + std::to_string(1 << 20));
    start_unix();
    std::mutex lock;
    std::vector<std::pair<std::string, size_t>> heard; // member, bytes
    Peer peer;
    peer.observer = [&](DBusMessage *m) {
        if (!dbus_message_has_interface(m, "org.example.Big"))
            return;
        DBusMessageIter it;
        size_t bytes = 0;
        if (dbus_message_iter_init(m, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_ARRAY)
            bytes = static_cast<size_t>(dbus_message_iter_get_element_count(&it));
        std::lock_guard<std::mutex> guard(lock);
        heard.emplace_back(dbus_message_get_member(m), bytes);
    };
    ASSERT_TRUE(peer.start(bus.address(), {}, echo_handler));
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    ASSERT_EQ(answer(client, add_match("interface='org.example.Big'")), "ok");

    // 4 MiB, then a few bytes, each way.
    const std::vector<unsigned char> big(4 << 20, 0x5a);
    auto send = [&](DBusConnection *from, const char *destination, const char *member,
                    size_t bytes) {
        MessagePtr signal(dbus_message_new_signal("/", "org.example.Big", member));
        dbus_message_set_destination(signal.get(), destination);
        const unsigned char *data = big.data();
        dbus_message_append_args(signal.get(), DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data,
                                 static_cast<int>(bytes), DBUS_TYPE_INVALID);
        dbus_connection_send(from, signal.get(), nullptr);
        dbus_connection_flush(from);
    };
    send(peer.conn(), client.unique_name(), "Large", big.size());
    send(peer.conn(), client.unique_name(), "Small", 8);
    std::vector<std::pair<std::string, size_t>> received;
    client.wait_message([&](DBusMessage *m) {
        DBusMessageIter it;
        if (dbus_message_has_interface(m, "org.example.Big") && dbus_message_iter_init(m, &it))
            received.emplace_back(dbus_message_get_member(m),
                                  dbus_message_iter_get_element_count(&it));
        return received.size() == 2;
    }, 10000ms);
    const std::vector<std::pair<std::string, size_t>> both{{"Large", big.size()}, {"Small", 8}};
    EXPECT_EQ(received, both);

    send(client.conn(), peer.unique_name().c_str(), "Large", big.size());
    send(client.conn(), peer.unique_name().c_str(), "Small", 8);
    EXPECT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> guard(lock);
        return heard.size() == 2;
    }, 10000ms));
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(heard, both);
}
