// A slow bus holds up only the client that waits for it: a new client's
// bus connection and the question of who called GetAll are answered in the
// background while everyone else is relayed.
#include "fixture.h"

#include <mutex>

using namespace harness;

namespace {

std::string socket_of(const std::string &address)
{
    return address.substr(std::string("unix:path=").size());
}

// Round trips through `address` on a thread of their own, keeping the
// slowest, until stopped.
class Pinger {
public:
    explicit Pinger(const std::string &address)
    {
        ok_ = client_.open(address);
        thread_ = std::thread([this] {
            while (!stop_) {
                const auto start = std::chrono::steady_clock::now();
                if (!client_.call(bus_call("GetId"), 10000))
                    ++failures_;
                const auto took = std::chrono::steady_clock::now() - start;
                if (took > slowest_.load())
                    slowest_ = took;
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

class Stalls : public ProxyTest {
protected:
    std::unique_ptr<SlowForwarder> slow;

    void SetUp() override
    {
        ProxyTest::SetUp();
        slow = std::make_unique<SlowForwarder>(dir.path(), socket_of(bus.address()));
        ASSERT_TRUE(slow->start());
        daemon.set_bus_address(slow->address());
    }
    void TearDown() override
    {
        ProxyTest::TearDown();
        slow.reset();
    }
};

constexpr auto bus_delay = 1500ms;
// Far above a relayed call, far below the delay.
constexpr auto latency_bound = 300ms;

} // namespace

TEST_F(Stalls, NewClientsSlowBusConnectionHoldsUpNobodyElse)
{
    start_unix();
    Pinger pinger(daemon.address());
    ASSERT_TRUE(pinger.ok());
    std::this_thread::sleep_for(200ms);

    slow->delay_new_connections_ms = static_cast<int>(bus_delay.count());
    const auto start = std::chrono::steady_clock::now();
    Client late;
    ASSERT_TRUE(late.open(daemon.address(), false));
    // Sent while its bus connection opens: relayed in the order sent.
    std::vector<dbus_uint32_t> sent, answered;
    for (const char *member : {"Hello", "GetId", "ListNames", "GetId"}) {
        MessagePtr call = bus_call(member);
        dbus_uint32_t serial = 0;
        ASSERT_TRUE(dbus_connection_send(late.conn(), call.get(), &serial));
        sent.push_back(serial);
    }
    EXPECT_TRUE(late.wait_message(
        [&](DBusMessage *m) {
            if (dbus_message_get_reply_serial(m) != 0)
                answered.push_back(dbus_message_get_reply_serial(m));
            return answered.size() == sent.size();
        },
        10000ms));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(answered, sent);
    round_trip(late);
    pinger.stop();

    EXPECT_GE(took, bus_delay - 100ms) << "the bus connection was not delayed";
    EXPECT_LT(pinger.slowest(), latency_bound) << pinger.calls() << " calls";
    EXPECT_EQ(pinger.failures(), 0);
}

TEST_F(Stalls, GetAllWaitsForItsCallerAloneAndKeepsTheBusOrder)
{
    slow->delay_marker = "GetConnectionUnixProcessID";
    slow->delay_marked_ms = static_cast<int>(bus_delay.count());
    start_unix({"--verbose", "4"});

    std::mutex lock;
    std::vector<std::string> seen;
    Peer item;
    item.observer = [&](DBusMessage *m) {
        if (const char *member = dbus_message_get_member(m)) {
            std::lock_guard<std::mutex> guard(lock);
            if (std::string(member) != "NameAcquired")
                seen.push_back(member);
        }
    };
    ASSERT_TRUE(item.start(daemon.address(), {}, [](DBusConnection *, DBusMessage *m) {
        return dbus_message_new_method_return(m);
    }));
    Pinger pinger(daemon.address());
    ASSERT_TRUE(pinger.ok());
    std::this_thread::sleep_for(200ms);

    // A host program asks for the item's properties, then signals it and
    // calls it: the item must see them in that order.
    Client host;
    ASSERT_TRUE(host.open(bus.address()));
    const auto start = std::chrono::steady_clock::now();
    MessagePtr get_all(dbus_message_new_method_call(item.unique_name().c_str(), "/item",
                                                    DBUS_INTERFACE_PROPERTIES, "GetAll"));
    DBusPendingCall *pending_get_all = nullptr;
    dbus_connection_send_with_reply(host.conn(), get_all.get(), &pending_get_all, 10000);
    MessagePtr tick(dbus_message_new_signal("/item", "org.example.Order", "Tick"));
    dbus_message_set_destination(tick.get(), item.unique_name().c_str());
    dbus_connection_send(host.conn(), tick.get(), nullptr);
    MessagePtr ping(dbus_message_new_method_call(item.unique_name().c_str(), "/item",
                                                 "org.example.Order", "Ping"));
    MessagePtr pong = host.call(ping, 10000);
    ASSERT_TRUE(pong);
    dbus_pending_call_block(pending_get_all);
    MessagePtr properties(dbus_pending_call_steal_reply(pending_get_all));
    dbus_pending_call_unref(pending_get_all);
    const auto took = std::chrono::steady_clock::now() - start;
    pinger.stop();

    ASSERT_TRUE(properties);
    EXPECT_EQ(dbus_message_get_type(properties.get()), DBUS_MESSAGE_TYPE_METHOD_RETURN);
    EXPECT_GE(took, bus_delay - 100ms) << "the query was not delayed";
    EXPECT_LT(pinger.slowest(), latency_bound) << pinger.calls() << " calls";
    EXPECT_EQ(pinger.failures(), 0);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(seen, (std::vector<std::string>{"GetAll", "Tick", "Ping"}));
}

TEST_F(Stalls, GetAllWhoseCallerIsNeverNamedHoldsABoundedFloodAndIsAskedAgain)
{
    // The bus names the caller only after the daemon gave up waiting.
    slow->delay_marker = "GetConnectionUnixProcessID";
    slow->delay_marked_ms = 4000;
    daemon.extra_env.push_back("DPD_TEST_MAX_QUEUED_BYTES=1048576");
    start_unix({"--verbose", "4"});
    Client item, other_item, host;
    ASSERT_TRUE(item.open(daemon.address()));
    ASSERT_TRUE(other_item.open(daemon.address()));
    ASSERT_TRUE(host.open(bus.address()));
    auto send_get_all = [&](Client &to) {
        MessagePtr get_all(dbus_message_new_method_call(to.unique_name(), "/item",
                                                        DBUS_INTERFACE_PROPERTIES, "GetAll"));
        dbus_connection_send(host.conn(), get_all.get(), nullptr);
        dbus_connection_flush(host.conn());
    };
    const long rss_before = daemon.rss_kib();

    // 32 MiB behind the held GetAll, for an item that reads nothing: the
    // daemon reads no further than its bound meanwhile, and cuts the item
    // off once the GetAll goes on.
    send_get_all(item);
    std::vector<unsigned char> blob(256 * 1024, 0x5a);
    for (int i = 0; i < 128; ++i) {
        MessagePtr sig(dbus_message_new_signal("/", "org.example.Flood", "Blob"));
        dbus_message_set_destination(sig.get(), item.unique_name());
        const unsigned char *data = blob.data();
        dbus_message_append_args(sig.get(), DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data,
                                 static_cast<int>(blob.size()), DBUS_TYPE_INVALID);
        dbus_connection_send(host.conn(), sig.get(), nullptr);
    }
    dbus_connection_flush(host.conn());
    EXPECT_TRUE(wait_until(
        [&] { return daemon.log().find("[SERVICE:]Client is not reading: ") != std::string::npos; },
        20000ms))
        << daemon.log();
    if (!harness::sanitized_build) {
        EXPECT_LT(daemon.peak_rss_kib() - rss_before, 16 * 1024) << rss_before << " KiB before";
    }

    // No answer is no verdict: the same caller is asked about again.
    slow->delay_marked_ms = 0;
    send_get_all(other_item);
    const std::string asked = "] [Modify for panel]:get osra-panel pid: ";
    EXPECT_TRUE(wait_until([&] {
        return daemon.log().find(asked + std::to_string(getpid()) + "\n") != std::string::npos;
    })) << daemon.log();
    EXPECT_NE(daemon.log().find(asked + "-1\n"), std::string::npos);
}
