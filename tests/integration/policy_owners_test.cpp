// The access policy against clients that play with who owns what: the
// owner tracker learns only from its own connection, a call it cannot yet
// judge waits for it, a caller's departure reaches the client in either
// order, owned names and answer records are bounded, and names may end in
// a pattern.
#include "fixture.h"

#include <atomic>
#include <cstring>
#include <map>

using namespace harness;

namespace {

constexpr const char *talk = "org.example.Talk";

// Calls `destination` through `client`: who answered, or the error's name.
std::string outcome(Client &client, const std::string &destination)
{
    MessagePtr call(dbus_message_new_method_call(destination.c_str(), "/o", "org.example.O", "Do"));
    std::string error;
    MessagePtr reply = client.call(call, 8000, &error);
    if (!reply)
        return error.substr(0, error.find(':'));
    return dbus_message_get_sender(reply.get());
}

MessagePtr bus_call_with(const char *member, const char *arg)
{
    MessagePtr call = bus_call(member);
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &arg, DBUS_TYPE_INVALID);
    return call;
}

void add_match(Client &client, const std::string &rule)
{
    std::string error;
    ASSERT_TRUE(client.call(bus_call_with("AddMatch", rule.c_str()), 5000, &error)) << error;
}

uint32_t send(Client &client, const MessagePtr &message)
{
    dbus_uint32_t serial = 0;
    dbus_connection_send(client.conn(), message.get(), &serial);
    return serial;
}

bool name_has_owner(Client &on_bus, const std::string &name)
{
    MessagePtr reply = on_bus.call(bus_call_with("NameHasOwner", name.c_str()));
    dbus_bool_t has = FALSE;
    return reply &&
           dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_BOOLEAN, &has, DBUS_TYPE_INVALID) &&
           has;
}

class PolicyOwnersTest : public ProxyTest {
protected:
    Client host; // on the bus itself

    void start(std::vector<std::string> extra, bool stalls = true)
    {
        // One 4 MiB message is past twice the bound: see stall().
        if (stalls)
            daemon.extra_env.push_back("DPD_TEST_MAX_QUEUED_BYTES=1048576");
        extra.insert(extra.begin(), {"--filter", "--trace"});
        start_unix(extra);
        ASSERT_TRUE(host.open(bus.address()));
    }

    // Makes the daemon read nothing more from `client`'s bus connection
    // until the client reads: a 4 MiB signal for a client that reads
    // nothing stays in the daemon, and past twice the queue bound libdbus
    // reads no further. Returns once the daemon has read it, so that what
    // the bus sends the client from now on waits unread, while the
    // tracker's own connection goes on.
    void stall(Client &client)
    {
        dbus_connection_set_max_received_size(client.conn(), 1);
        std::vector<unsigned char> blob(4 << 20, 0x5a);
        const unsigned char *data = blob.data();
        MessagePtr big(dbus_message_new_signal("/", "org.example.Stall", "Big"));
        dbus_message_set_destination(big.get(), client.unique_name());
        dbus_message_append_args(big.get(), DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data,
                                 static_cast<int>(blob.size()), DBUS_TYPE_INVALID);
        dbus_connection_send(host.conn(), big.get(), nullptr);
        dbus_connection_flush(host.conn());
        ASSERT_TRUE(wait_until(
            [&] { return daemon.log().find("member='Big'") != std::string::npos; }, 10000ms));
    }
};

} // namespace

TEST_F(PolicyOwnersTest, AClientsLateWordNeverMakesAFormerOwnerTalkable)
{
    start({std::string("--talk=") + talk});
    Client attacker;
    ASSERT_TRUE(attacker.open(daemon.address()));
    // Acquisitions of T only: the release that follows never reaches it.
    add_match(attacker, std::string("type='signal',sender='org.freedesktop.DBus',"
                                    "member='NameOwnerChanged',arg0='") +
                            talk + "',arg1=''");
    stall(attacker);

    std::atomic<int> synced{0}, served{0};
    Peer owner;
    ASSERT_TRUE(owner.start(bus.address(), {talk}, [&](DBusConnection *c, DBusMessage *m) {
        ++(dbus_message_has_member(m, "Sync") ? synced : served);
        return echo_handler(c, m);
    }));
    // Answers naming the owner, queued behind the stall with its
    // acquisition; once the owner has the call behind them, the bus has
    // sent them all.
    for (int i = 0; i < 5; ++i)
        send(attacker, bus_call_with("GetNameOwner", talk));
    const uint32_t sync =
        send(attacker, MessagePtr(dbus_message_new_method_call(talk, "/o", "org.example.O", "Sync")));
    ASSERT_TRUE(wait_until([&] { return synced == 1; }));
    ASSERT_EQ(dbus_bus_release_name(owner.conn(), talk, nullptr), DBUS_RELEASE_NAME_REPLY_RELEASED);
    Client fresh;
    ASSERT_TRUE(fresh.open(daemon.address()));
    EXPECT_EQ(outcome(fresh, owner.unique_name()), DBUS_ERROR_ACCESS_DENIED);

    // Now it reads all of it, the late word last.
    ASSERT_TRUE(attacker.wait_message(
        [&](DBusMessage *m) { return dbus_message_get_reply_serial(m) == sync; }, 20000ms));
    EXPECT_EQ(outcome(attacker, owner.unique_name()), DBUS_ERROR_ACCESS_DENIED);
    Client second;
    ASSERT_TRUE(second.open(daemon.address()));
    EXPECT_EQ(outcome(second, owner.unique_name()), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(served, 0);
}

TEST_F(PolicyOwnersTest, AClientSeesItsCallerLeaveWhicheverCopyComesFirst)
{
    start({});
    Client app; // the container's service
    ASSERT_TRUE(app.open(daemon.address()));
    Client caller;
    ASSERT_TRUE(caller.open(bus.address()));
    const std::string gone = caller.unique_name();
    send(caller, MessagePtr(dbus_message_new_method_call(app.unique_name(), "/a", "org.example.A",
                                                         "Ask")));
    dbus_connection_flush(caller.conn());
    ASSERT_TRUE(app.wait_message(
        [](DBusMessage *m) { return dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL; }));
    add_match(app, "type='signal',member='NameOwnerChanged',arg0='" + gone + "'");

    // The client's copy of the departure waits behind the stall; the
    // tracker's is read first (a call that waits for the tracker is
    // answered after it).
    stall(app);
    caller.close();
    ASSERT_TRUE(wait_until([&] { return !name_has_owner(host, gone); }));
    Client other;
    ASSERT_TRUE(other.open(daemon.address()));
    EXPECT_EQ(outcome(other, ":1.4242"), DBUS_ERROR_ACCESS_DENIED);

    MessagePtr left = app.wait_message(
        [](DBusMessage *m) { return dbus_message_is_signal(m, DBUS_INTERFACE_DBUS, "NameOwnerChanged"); },
        20000ms);
    ASSERT_TRUE(left);
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    ASSERT_TRUE(dbus_message_get_args(left.get(), nullptr, DBUS_TYPE_STRING, &name,
                                      DBUS_TYPE_STRING, &old_owner, DBUS_TYPE_STRING, &new_owner,
                                      DBUS_TYPE_INVALID));
    EXPECT_EQ(name, gone);
    EXPECT_STREQ(new_owner, "");
}

TEST_F(PolicyOwnersTest, ACallTheTrackerCannotJudgeYetWaitsForItInOrder)
{
    // The tracker's first view of the bus comes 1.5 s late: a client that
    // calls a running service by its unique name meanwhile is answered
    // once the tracker knows, and its next call after that.
    SlowForwarder slow(dir.path(), bus.address().substr(std::strlen("unix:path=")));
    slow.delay_marker = "ListNames";
    slow.delay_marked_ms = 1500;
    ASSERT_TRUE(slow.start());
    Peer early;
    ASSERT_TRUE(early.start(bus.address(), {"org.example.prefix.Early"}, echo_handler));
    daemon.set_bus_address(slow.address());
    // Answered by the round trips, not by the end of the wait.
    daemon.extra_env.push_back("DPD_TEST_OWNER_WAIT_MS=60000");
    start({"--talk=org.example.prefix.*"});
    Client client, other;
    ASSERT_TRUE(client.open(daemon.address()));
    ASSERT_TRUE(other.open(daemon.address()));

    // Another client waits meanwhile: one round trip serves it, or the next.
    const uint32_t others = send(other, MessagePtr(dbus_message_new_method_call(
                                            early.unique_name().c_str(), "/o", "org.example.O", "C")));
    const uint32_t first = send(client, MessagePtr(dbus_message_new_method_call(
                                            early.unique_name().c_str(), "/o", "org.example.O", "A")));
    const uint32_t second = send(client, MessagePtr(dbus_message_new_method_call(
                                             "org.example.prefix.Early", "/o", "org.example.O", "B")));
    std::vector<uint32_t> order;
    ASSERT_TRUE(client.wait_message(
        [&](DBusMessage *m) {
            if (dbus_message_get_reply_serial(m))
                order.push_back(dbus_message_get_reply_serial(m));
            EXPECT_EQ(dbus_message_get_type(m), DBUS_MESSAGE_TYPE_METHOD_RETURN)
                << dbus_message_get_error_name(m);
            return order.size() == 2;
        },
        10000ms));
    EXPECT_EQ(order, (std::vector<uint32_t>{first, second}));
    MessagePtr reply = other.wait_message(
        [&](DBusMessage *m) { return dbus_message_get_reply_serial(m) == others; }, 10000ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(dbus_message_get_type(reply.get()), DBUS_MESSAGE_TYPE_METHOD_RETURN);
}

TEST_F(PolicyOwnersTest, ABroadcastFromAnOwnerTheClientHeardOfWaitsForTheTracker)
{
    // The tracker subscribes to T 3 s late, so it learns T's owner from its
    // own question, after the client has heard of the change and the new
    // owner's first broadcast.
    SlowForwarder slow(dir.path(), bus.address().substr(std::strlen("unix:path=")));
    slow.delay_marker = std::string("arg0='") + talk + "'";
    slow.delay_marked_ms = 3000;
    ASSERT_TRUE(slow.start());
    daemon.set_bus_address(slow.address());
    start({std::string("--talk=") + talk});
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    add_match(client, std::string("type='signal',member='NameOwnerChanged',arg0=") + talk);
    add_match(client, "type='signal',interface='org.example.Sig'");
    Peer owner;
    ASSERT_TRUE(owner.start(bus.address(), {talk}, echo_handler));
    MessagePtr hello(dbus_message_new_signal("/s", "org.example.Sig", "Hello"));
    dbus_connection_send(owner.conn(), hello.get(), nullptr);
    dbus_connection_flush(owner.conn());
    MessagePtr heard = client.wait_message(
        [](DBusMessage *m) { return dbus_message_has_interface(m, "org.example.Sig"); }, 10000ms);
    ASSERT_TRUE(heard);
    EXPECT_EQ(dbus_message_get_sender(heard.get()), owner.unique_name());
}

TEST_F(PolicyOwnersTest, APeersRightsFollowEachNameItGainsAndLoses)
{
    start({"--see=org.example.Seen", std::string("--talk=") + talk, "--talk=org.example.Marker",
           "--broadcast=org.example.Radio=org.example.Sig.News"});
    Peer peer, marker;
    ASSERT_TRUE(peer.start(bus.address(), {"org.example.Seen", "org.example.Radio"}, echo_handler));
    ASSERT_TRUE(marker.start(bus.address(), {"org.example.Marker"}, echo_handler));
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    add_match(client, "type='signal',interface='org.example.Sig'");
    // The peer's signal, then the marker's once the bus has routed the
    // first: the first one the client hears, up to the marker's.
    auto first_heard = [&](const char *member) {
        MessagePtr signal(dbus_message_new_signal("/s", "org.example.Sig", member));
        dbus_connection_send(peer.conn(), signal.get(), nullptr);
        MessagePtr routed(dbus_connection_send_with_reply_and_block(
            peer.conn(), bus_call("GetId").get(), 5000, nullptr));
        MessagePtr mark(dbus_message_new_signal("/s", "org.example.Sig", "Mark"));
        dbus_connection_send(marker.conn(), mark.get(), nullptr);
        dbus_connection_flush(marker.conn());
        std::string first;
        client.wait_message([&](DBusMessage *m) {
            if (!dbus_message_has_interface(m, "org.example.Sig"))
                return false;
            if (first.empty())
                first = dbus_message_get_member(m);
            return dbus_message_has_member(m, "Mark") != 0;
        });
        return first;
    };
    auto take = [&](const char *name, bool own) {
        if (own)
            ASSERT_EQ(dbus_bus_request_name(peer.conn(), name, 0, nullptr),
                      DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
        else
            ASSERT_EQ(dbus_bus_release_name(peer.conn(), name, nullptr),
                      DBUS_RELEASE_NAME_REPLY_RELEASED);
    };
    EXPECT_EQ(outcome(client, peer.unique_name()), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(first_heard("News"), "News");
    EXPECT_EQ(first_heard("Other"), "Mark");

    take(talk, true);
    EXPECT_EQ(outcome(client, peer.unique_name()), peer.unique_name());
    EXPECT_EQ(first_heard("Other"), "Other");
    take(talk, false);
    EXPECT_EQ(outcome(client, peer.unique_name()), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(first_heard("Other"), "Mark");
    EXPECT_EQ(first_heard("News"), "News");
    // The --broadcast rule goes with the name that carries it.
    take("org.example.Radio", false);
    EXPECT_EQ(first_heard("News"), "Mark");
}

TEST_F(PolicyOwnersTest, AWaitForAStuckTrackerIsBoundedAndThenRefused)
{
    SlowForwarder slow(dir.path(), bus.address().substr(std::strlen("unix:path=")));
    slow.delay_marker = DBUS_INTERFACE_PEER; // the tracker's Ping
    slow.delay_marked_ms = 6000;
    ASSERT_TRUE(slow.start());
    daemon.set_bus_address(slow.address());
    daemon.extra_env.push_back("DPD_TEST_OWNER_WAIT_MS=300");
    start({std::string("--talk=") + talk});
    Peer service;
    ASSERT_TRUE(service.start(bus.address(), {talk}, echo_handler));
    {
        // Gone while its call waits: the wait goes with it.
        Client leaving;
        ASSERT_TRUE(leaving.open(daemon.address()));
        send(leaving, MessagePtr(dbus_message_new_method_call(":1.4242", "/o", "org.example.O",
                                                              "Do")));
        dbus_connection_flush(leaving.conn());
    }
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(outcome(client, ":1.4242"), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 4000ms);
    EXPECT_EQ(outcome(client, talk), service.unique_name());
}

TEST_F(PolicyOwnersTest, AClientOwnsAsManyNamesAsTheBusAllowsByDefault)
{
    // The bus itself would allow more.
    bus.stop();
    bus.extra_config = "  <limit name=\"max_names_per_connection\">5000</limit>\n";
    ASSERT_TRUE(bus.start());
    daemon.set_bus_address(bus.address());
    start({"--own=org.example.many.*"});
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    auto request = [&](int i) {
        const std::string name = "org.example.many.n" + std::to_string(i);
        const char *arg = name.c_str();
        dbus_uint32_t flags = 0;
        MessagePtr call = bus_call("RequestName");
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &arg, DBUS_TYPE_UINT32, &flags,
                                 DBUS_TYPE_INVALID);
        return send(client, call);
    };
    // All at once: requests on their way count as names owned.
    std::map<uint32_t, int> asked;
    for (int i = 0; i < 600; ++i)
        asked[request(i)] = i;
    std::map<std::string, int> results;
    std::string first_refused;
    ASSERT_TRUE(client.wait_message(
        [&](DBusMessage *m) {
            if (!asked.erase(dbus_message_get_reply_serial(m)))
                return false;
            dbus_uint32_t code = 0;
            if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_ERROR)
                ++results[dbus_message_get_error_name(m)];
            else if (dbus_message_get_args(m, nullptr, DBUS_TYPE_UINT32, &code, DBUS_TYPE_INVALID))
                ++results[std::to_string(code)];
            return asked.empty();
        },
        20000ms));
    EXPECT_EQ(results, (std::map<std::string, int>{{"1", 512}, {DBUS_ERROR_LIMITS_EXCEEDED, 88}}));

    // A name it owns may be asked for again; one given up makes room.
    auto answer_to = [&](uint32_t serial) {
        MessagePtr reply = client.wait_message(
            [serial](DBusMessage *m) { return dbus_message_get_reply_serial(m) == serial; });
        dbus_uint32_t code = 0;
        if (!reply || dbus_message_get_type(reply.get()) == DBUS_MESSAGE_TYPE_ERROR)
            return std::string(reply ? dbus_message_get_error_name(reply.get()) : "none");
        dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UINT32, &code, DBUS_TYPE_INVALID);
        return std::to_string(code);
    };
    EXPECT_EQ(answer_to(request(3)), "4"); // already the owner
    EXPECT_EQ(answer_to(request(700)), DBUS_ERROR_LIMITS_EXCEEDED);
    EXPECT_EQ(answer_to(send(client, bus_call_with("ReleaseName", "org.example.many.n3"))), "1");
    EXPECT_EQ(answer_to(request(700)), "1");
}

TEST_F(PolicyOwnersTest, OneCallersFloodNeverCostsAnotherCallerItsAnswer)
{
    bus.stop();
    bus.extra_config = "  <limit name=\"max_replies_per_connection\">10000</limit>\n";
    ASSERT_TRUE(bus.start());
    daemon.set_bus_address(bus.address());
    start({}, false);
    Client app;
    ASSERT_TRUE(app.open(daemon.address()));
    Client victim, flooder;
    ASSERT_TRUE(victim.open(bus.address()));
    ASSERT_TRUE(flooder.open(bus.address()));
    auto call_app = [&](Client &from) {
        const uint32_t serial = send(from, MessagePtr(dbus_message_new_method_call(
                                               app.unique_name(), "/a", "org.example.A", "Ask")));
        dbus_connection_flush(from.conn());
        return serial;
    };
    const uint32_t asked = call_app(victim);
    constexpr int flood = 4200; // more than the client may owe in all
    std::vector<uint32_t> flooded;
    for (int i = 0; i < flood; ++i)
        flooded.push_back(call_app(flooder));
    std::map<std::string, std::vector<MessagePtr>> calls;
    int received = 0;
    ASSERT_TRUE(app.wait_message(
        [&](DBusMessage *m) {
            if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL)
                return false;
            calls[dbus_message_get_sender(m)].push_back(MessagePtr(dbus_message_ref(m)));
            return ++received == flood + 1;
        },
        30000ms));
    auto answer = [&](const MessagePtr &call) {
        send(app, MessagePtr(dbus_message_new_method_return(call.get())));
        dbus_connection_flush(app.conn());
    };
    // The flooder's oldest record made room; its latest and the victim's stay.
    answer(calls[flooder.unique_name()].front());
    answer(calls[flooder.unique_name()].back());
    answer(calls[victim.unique_name()].front());
    EXPECT_TRUE(victim.wait_message(
        [&](DBusMessage *m) { return dbus_message_get_reply_serial(m) == asked; }));
    std::vector<uint32_t> answered;
    ASSERT_TRUE(flooder.wait_message([&](DBusMessage *m) {
        if (dbus_message_get_reply_serial(m))
            answered.push_back(dbus_message_get_reply_serial(m));
        return dbus_message_get_reply_serial(m) == flooded.back();
    }));
    EXPECT_EQ(answered, (std::vector<uint32_t>{flooded.back()}));
}

TEST_F(PolicyOwnersTest, APatternCoversTheRestOfTheLastElementOnly)
{
    start({"--talk=org.example.Item-*"});
    Peer item, dotted, longer;
    ASSERT_TRUE(item.start(bus.address(), {"org.example.Item-77-1"}, echo_handler));
    ASSERT_TRUE(dotted.start(bus.address(), {"org.example.Item-77.x"}, echo_handler));
    ASSERT_TRUE(longer.start(bus.address(), {"org.example.Items"}, echo_handler));
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    EXPECT_EQ(outcome(client, "org.example.Item-77-1"), item.unique_name());
    // Its unique name too: the tracker follows the pattern's changes.
    EXPECT_EQ(outcome(client, item.unique_name()), item.unique_name());
    EXPECT_EQ(outcome(client, "org.example.Item-77.x"), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(outcome(client, dotted.unique_name()), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(outcome(client, "org.example.Items"), DBUS_ERROR_ACCESS_DENIED);
}
