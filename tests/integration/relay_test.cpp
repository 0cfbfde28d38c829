// Messages through the proxy, both ways, against a real host bus.
#include "fixture.h"

#include <cstring>

using namespace harness;

namespace {

std::string name_owner(Client &observer, const std::string &name)
{
    MessagePtr call = bus_call("GetNameOwner");
    const char *n = name.c_str();
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &n, DBUS_TYPE_INVALID);
    MessagePtr reply = observer.call(call);
    std::string owner;
    const char *o = nullptr;
    if (reply &&
        dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &o, DBUS_TYPE_INVALID))
        owner = o;
    return owner;
}

MessagePtr echo_call(const std::string &dest, const char *text, dbus_uint32_t number)
{
    MessagePtr call(dbus_message_new_method_call(dest.c_str(), "/org/example/Echo",
                                                 "org.example.Echo", "Echo"));
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_UINT32, &number,
                             DBUS_TYPE_INVALID);
    return call;
}

} // namespace

TEST_F(ProxyTest, HelloAnswersWithThePrivateConnectionsUniqueName)
{
    start_unix();
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    ASSERT_NE(client.unique_name(), nullptr);
    EXPECT_EQ(client.unique_name()[0], ':');

    // The host bus sees the client's name requests under that very name.
    ASSERT_EQ(dbus_bus_request_name(client.conn(), "org.example.Owned", 0, nullptr),
              DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
    Client observer;
    ASSERT_TRUE(observer.open(bus.address()));
    EXPECT_EQ(name_owner(observer, "org.example.Owned"), client.unique_name());
    EXPECT_EQ(name_owner(observer, client.unique_name()), client.unique_name());

    // A second client gets a name of its own.
    Client second;
    ASSERT_TRUE(second.open(daemon.address()));
    EXPECT_STRNE(second.unique_name(), client.unique_name());
}

TEST_F(ProxyTest, CallsRepliesAndErrorsPassWithBodiesIntact)
{
    start_unix();
    Peer peer;
    ASSERT_TRUE(peer.start(bus.address(), {"org.example.Echo"},
                           [](DBusConnection *c, DBusMessage *m) -> DBusMessage * {
                               if (dbus_message_has_member(m, "Fail"))
                                   return dbus_message_new_error(m, "org.example.Error.Nope",
                                                                 "no such luck");
                               return echo_handler(c, m);
                           }));
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));

    MessagePtr call = echo_call("org.example.Echo", "h\xc3\xa9llo", 42);
    MessagePtr reply = client.call(call);
    ASSERT_TRUE(reply);
    const char *text = nullptr;
    dbus_uint32_t number = 0;
    ASSERT_TRUE(dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &text,
                                      DBUS_TYPE_UINT32, &number, DBUS_TYPE_INVALID));
    EXPECT_STREQ(text, "h\xc3\xa9llo");
    EXPECT_EQ(number, 42u);
    EXPECT_STREQ(dbus_message_get_sender(reply.get()), peer.unique_name().c_str());

    // A large body survives the trip.
    std::string big(1 << 20, 'x');
    call = echo_call("org.example.Echo", big.c_str(), 7);
    reply = client.call(call);
    ASSERT_TRUE(reply);
    ASSERT_TRUE(dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &text,
                                      DBUS_TYPE_UINT32, &number, DBUS_TYPE_INVALID));
    EXPECT_EQ(std::strlen(text), big.size());

    call.reset(dbus_message_new_method_call("org.example.Echo", "/", "org.example.Echo", "Fail"));
    std::string error;
    reply = client.call(call, 5000, &error);
    EXPECT_FALSE(reply);
    EXPECT_EQ(error, "org.example.Error.Nope: no such luck");

    // The bus's own errors come back as well.
    call.reset(dbus_message_new_method_call("org.example.Nobody", "/", "org.example.X", "Y"));
    reply = client.call(call, 5000, &error);
    EXPECT_FALSE(reply);
    EXPECT_EQ(error.rfind("org.freedesktop.DBus.Error.ServiceUnknown", 0), 0u) << error;
}

TEST_F(ProxyTest, SignalsFlowBothWays)
{
    start_unix();
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    // With an error to fill, AddMatch waits for the bus: the rules are in
    // place before the signals are sent.
    DBusError err;
    dbus_error_init(&err);
    dbus_bus_add_match(client.conn(), "type='signal',interface='org.example.Sig'", &err);
    ASSERT_FALSE(dbus_error_is_set(&err)) << err.message;
    Client host;
    ASSERT_TRUE(host.open(bus.address()));
    dbus_bus_add_match(host.conn(), "type='signal',interface='org.example.FromClient'", &err);
    ASSERT_FALSE(dbus_error_is_set(&err)) << err.message;

    MessagePtr sig(dbus_message_new_signal("/a", "org.example.Sig", "Tick"));
    dbus_uint32_t v = 5;
    dbus_message_append_args(sig.get(), DBUS_TYPE_UINT32, &v, DBUS_TYPE_INVALID);
    dbus_connection_send(host.conn(), sig.get(), nullptr);
    dbus_connection_flush(host.conn());
    MessagePtr got = client.wait_message(
        [](DBusMessage *m) { return dbus_message_is_signal(m, "org.example.Sig", "Tick"); });
    ASSERT_TRUE(got);
    EXPECT_STREQ(dbus_message_get_sender(got.get()), host.unique_name());

    sig.reset(dbus_message_new_signal("/b", "org.example.FromClient", "Tock"));
    dbus_connection_send(client.conn(), sig.get(), nullptr);
    dbus_connection_flush(client.conn());
    got = host.wait_message(
        [](DBusMessage *m) { return dbus_message_is_signal(m, "org.example.FromClient", "Tock"); });
    ASSERT_TRUE(got);
    EXPECT_STREQ(dbus_message_get_sender(got.get()), client.unique_name());
}

TEST_F(ProxyTest, HostPeerCallsTheClientAndGetsItsReply)
{
    start_unix();
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    std::string client_name = client.unique_name();

    Client host;
    ASSERT_TRUE(host.open(bus.address()));
    MessagePtr call = echo_call(client_name, "ping", 1);
    DBusPendingCall *pending = nullptr;
    ASSERT_TRUE(dbus_connection_send_with_reply(host.conn(), call.get(), &pending, 5000));
    dbus_connection_flush(host.conn());
    const dbus_uint32_t host_serial = dbus_message_get_serial(call.get());

    MessagePtr incoming =
        client.wait_message([](DBusMessage *m) { return dbus_message_has_member(m, "Echo"); });
    ASSERT_TRUE(incoming);
    EXPECT_STREQ(dbus_message_get_sender(incoming.get()), host.unique_name());
    EXPECT_EQ(dbus_message_get_serial(incoming.get()), host_serial);
    MessagePtr reply(echo_handler(client.conn(), incoming.get()));
    dbus_connection_send(client.conn(), reply.get(), nullptr);
    dbus_connection_flush(client.conn());

    dbus_pending_call_block(pending);
    MessagePtr answer(dbus_pending_call_steal_reply(pending));
    dbus_pending_call_unref(pending);
    ASSERT_TRUE(answer);
    EXPECT_EQ(dbus_message_get_type(answer.get()), DBUS_MESSAGE_TYPE_METHOD_RETURN);
    EXPECT_STREQ(dbus_message_get_sender(answer.get()), client_name.c_str());
}

TEST_F(ProxyTest, TrafficBeforeHelloNeverReachesTheClient)
{
    start_unix({"--verbose", "4"});
    Client client;
    ASSERT_TRUE(client.open(daemon.address(), /*hello=*/false));
    // Nothing arrives unasked: the bus's NameAcquired for the private
    // connection is dropped while the client has not greeted.
    MessagePtr early = client.wait_message([](DBusMessage *) { return true; }, 300ms);
    EXPECT_FALSE(early);

    DBusError err;
    dbus_error_init(&err);
    ASSERT_TRUE(dbus_bus_register(client.conn(), &err));
    EXPECT_TRUE(wait_until([&] {
        return daemon.log().find("[SERVICE:]Drop message before client Hello: type='4' "
                                 "member='NameAcquired'\n") != std::string::npos;
    })) << daemon.log();
}

TEST_F(ProxyTest, HelloIsAnsweredAsTheBusAnswersIt)
{
    start_unix();
    auto call = [](Client &client, const char *path, const char *interface, const char *dest,
                   std::string *error) {
        MessagePtr hello(dbus_message_new_method_call(dest, path, interface, "Hello"));
        return client.call(hello, 5000, error);
    };

    // First message: Hello with the interface left out, and before it a
    // call with no destination, which libdbus answers for the bus.
    Client raw;
    ASSERT_TRUE(raw.open(daemon.address(), false));
    std::string error;
    EXPECT_FALSE(call(raw, "/", "org.example.Nothing", nullptr, &error));
    EXPECT_EQ(error.rfind("org.freedesktop.DBus.Error.UnknownMethod: Method \"Hello\"", 0), 0u)
        << error;
    MessagePtr reply = call(raw, DBUS_PATH_DBUS, nullptr, DBUS_SERVICE_DBUS, &error);
    ASSERT_TRUE(reply) << error;
    const char *name = nullptr;
    ASSERT_TRUE(
        dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID));
    EXPECT_EQ(name[0], ':');
    EXPECT_EQ(dbus_message_get_sender(reply.get()), nullptr);

    // Any later Hello is refused, on any path, with or without the
    // interface; under another interface it is the bus's to refuse.
    for (auto [path, interface] :
         {std::pair{DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS}, std::pair{"/", DBUS_INTERFACE_DBUS},
          std::pair{DBUS_PATH_DBUS, static_cast<const char *>(nullptr)}}) {
        error.clear();
        EXPECT_FALSE(call(raw, path, interface, DBUS_SERVICE_DBUS, &error));
        EXPECT_EQ(error, "org.freedesktop.DBus.Error.Failed: Already handled an Hello message")
            << path;
    }
    EXPECT_FALSE(call(raw, DBUS_PATH_DBUS, DBUS_INTERFACE_INTROSPECTABLE, DBUS_SERVICE_DBUS, &error));
    EXPECT_NE(error.find("org.freedesktop.DBus.Error.Unknown"), std::string::npos) << error;
    round_trip(raw);
}

TEST_F(ProxyTest, PeerInterfaceCallsAreRelayedToTheFarEnd)
{
    start_unix();
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));

    Client host;
    ASSERT_TRUE(host.open(bus.address()));
    // Ping the client's unique name from the host: the client must see it.
    MessagePtr ping(
        dbus_message_new_method_call(client.unique_name(), "/", DBUS_INTERFACE_PEER, "Ping"));
    dbus_connection_send(host.conn(), ping.get(), nullptr);
    dbus_connection_flush(host.conn());
    MessagePtr got = client.wait_message(
        [](DBusMessage *m) { return dbus_message_is_method_call(m, DBUS_INTERFACE_PEER, "Ping"); });
    ASSERT_TRUE(got);

    // And the client's GetMachineId to a host peer reaches that peer.
    Peer peer;
    std::atomic<int> seen{0};
    ASSERT_TRUE(peer.start(bus.address(), {"org.example.Machine"},
                           [&](DBusConnection *c, DBusMessage *m) -> DBusMessage * {
                               ++seen;
                               return echo_handler(c, m);
                           }));
    // The peer's own libdbus would answer Peer calls itself; count them
    // through a filter that runs first by routing them to the handler.
    dbus_connection_set_route_peer_messages(peer.conn(), TRUE);
    MessagePtr call(dbus_message_new_method_call("org.example.Machine", "/", DBUS_INTERFACE_PEER,
                                                 "GetMachineId"));
    MessagePtr reply = client.call(call);
    ASSERT_TRUE(reply);
    EXPECT_STREQ(dbus_message_get_sender(reply.get()), peer.unique_name().c_str());
    EXPECT_EQ(seen.load(), 1);
}
