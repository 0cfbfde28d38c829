// What one client can cost everyone else: a huge match rule, queues that
// nobody reads, and what is found at the socket path at start.
#include "fixture.h"

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
    EXPECT_LT(pinger.slowest(), 300ms) << pinger.calls() << " calls";
    EXPECT_EQ(pinger.failures(), 0);
    if (!sanitized_build) {
        // What libdbus needs to read the message, and no copy of it.
        EXPECT_LT(daemon.peak_rss_kib() - rss_before, 48 * 1024) << rss_before << " KiB before";
    }

    // The bus's own limit, to the byte.
    const std::string head = "sender='org.example.Other',arg0='";
    EXPECT_EQ(answer(offender, add_match(head + std::string(1023 - head.size(), 'x') + "'")), "ok");
    EXPECT_EQ(answer(offender, add_match(head + std::string(1024 - head.size(), 'x') + "'")),
              DBUS_ERROR_LIMITS_EXCEEDED);
    round_trip(offender);
}
