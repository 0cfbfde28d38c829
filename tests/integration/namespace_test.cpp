// Calls from the container to namespaced services, through a real host bus.
#include "fixture.h"

#include <sys/stat.h>

#include <mutex>
#include <utility>

using namespace harness;

namespace {

const char player_line[] = "org.example.Player=org.example.Player.docker\n";

// A host service that answers with an echo and remembers what reached it.
class Service {
public:
    bool start(const std::string &address, const std::string &name)
    {
        return peer_.start(address, {name}, [this](DBusConnection *c, DBusMessage *m) {
            std::lock_guard<std::mutex> lock(mutex_);
            const char *destination = dbus_message_get_destination(m);
            calls_.emplace_back(destination ? destination : "", dbus_message_get_serial(m));
            return echo_handler(c, m);
        });
    }
    const std::string &unique_name() const { return peer_.unique_name(); }
    // Destination and serial of every call received, in order.
    std::vector<std::pair<std::string, dbus_uint32_t>> calls()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, dbus_uint32_t>> calls_;
    Peer peer_;
};

MessagePtr play_call(const char *destination)
{
    MessagePtr call(dbus_message_new_method_call(destination, "/org/example/Player",
                                                 "org.example.Player", "Play"));
    const char *song = "song";
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &song, DBUS_TYPE_INVALID);
    return call;
}

// Calls `destination` through the proxy; returns who answered (or the
// error) and the serial the call left the client with.
std::string answered_by(Client &client, const char *destination, dbus_uint32_t *serial = nullptr)
{
    MessagePtr call = play_call(destination);
    std::string error;
    MessagePtr reply = client.call(call, 5000, &error);
    if (serial)
        *serial = dbus_message_get_serial(call.get());
    if (!reply)
        return error;
    std::string sender = dbus_message_get_sender(reply.get());
    const char *song = nullptr;
    EXPECT_TRUE(
        dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &song, DBUS_TYPE_INVALID));
    EXPECT_STREQ(song, "song");
    return sender;
}

class NamespaceTest : public ProxyTest {
protected:
    Service plain, namespaced;
    Client client;

    void start_services()
    {
        ASSERT_TRUE(plain.start(bus.address(), "org.example.Player"));
        ASSERT_TRUE(namespaced.start(bus.address(), "org.example.Player.docker"));
    }
    void connect_client() { ASSERT_TRUE(client.open(daemon.address())); }
    void write_list(const char *file_name, const std::string &text)
    {
        write_file(daemon.activation_list(file_name), text);
    }
};

} // namespace

TEST_F(NamespaceTest, ListedServiceIsServedByItsNamespacedInstance)
{
    start_unix();
    start_services();
    connect_client();

    // Only the system bus's list names the service: not this daemon's.
    write_list("dbus-sys-proxy.list", player_line);
    EXPECT_EQ(answered_by(client, "org.example.Player"), plain.unique_name());

    // An edit takes effect at the next call: no restart needed.
    write_list("dbus-sess-proxy.list", player_line);
    dbus_uint32_t serial = 0;
    EXPECT_EQ(answered_by(client, "org.example.Player", &serial), namespaced.unique_name());
    ASSERT_EQ(namespaced.calls().size(), 1u);
    EXPECT_EQ(namespaced.calls()[0],
              std::make_pair(std::string("org.example.Player.docker"), serial));

    write_list("dbus-sess-proxy.list", "org.example.Player=org.example.Player.other\n");
    EXPECT_EQ(answered_by(client, "org.example.Player"), plain.unique_name());
    EXPECT_EQ(namespaced.calls().size(), 1u);
}

TEST_F(NamespaceTest, SystemDaemonReadsOnlyTheSystemList)
{
    start_unix({"--system"});
    start_services();
    connect_client();

    write_list("dbus-sess-proxy.list", player_line);
    EXPECT_EQ(answered_by(client, "org.example.Player"), plain.unique_name());
    write_list("dbus-sys-proxy.list", player_line);
    EXPECT_EQ(answered_by(client, "org.example.Player"), namespaced.unique_name());
}

TEST_F(NamespaceTest, CallsToTheBusItselfAreNeverRewritten)
{
    write_list("dbus-sess-proxy.list", "org.freedesktop.DBus=org.freedesktop.DBus.docker\n");
    start_unix({"--verbose", "4"});
    connect_client();

    MessagePtr call = bus_call("GetId");
    std::string error;
    MessagePtr reply = client.call(call, 5000, &error);
    ASSERT_TRUE(reply) << error;
    EXPECT_EQ(daemon.log().find("normal dbus-call"), std::string::npos) << daemon.log();
}

TEST_F(NamespaceTest, RefusedRedirectIsAnsweredAndNeverReachesTheBus)
{
    write_list("dbus-sess-proxy.list", "org.example.Player=org.example.Player.1abc\n");
    start_unix({"--namespace", "1abc", "--verbose", "3"});
    Service echo;
    ASSERT_TRUE(plain.start(bus.address(), "org.example.Player"));
    ASSERT_TRUE(echo.start(bus.address(), "org.example.Echo"));
    connect_client();

    // Everything the client's private connection sends, seen on the bus.
    Client observer;
    ASSERT_TRUE(observer.open(bus.address()));
    const std::string rule = "type='method_call',eavesdrop='true',sender='" +
                             std::string(client.unique_name()) + "'";
    DBusError err;
    dbus_error_init(&err);
    dbus_bus_add_match(observer.conn(), rule.c_str(), &err);
    ASSERT_FALSE(dbus_error_is_set(&err)) << err.message;

    EXPECT_EQ(answered_by(client, "org.example.Player"),
              "org.freedesktop.DBus.Error.ServiceUnknown: "
              "[CLIENT:]Failed to proxy method-call for org.example.Player.1abc");
    // The next call goes out in order after it: it must be the first seen.
    EXPECT_EQ(answered_by(client, "org.example.Echo"), echo.unique_name());
    MessagePtr first = observer.wait_message(
        [](DBusMessage *m) { return dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL; });
    ASSERT_TRUE(first);
    EXPECT_STREQ(dbus_message_get_destination(first.get()), "org.example.Echo");
    EXPECT_TRUE(plain.calls().empty());

    EXPECT_NE(daemon.log().find("Cannot redirect active-destination to org.example.Player.1abc "
                                "for client call\n"),
              std::string::npos)
        << daemon.log();
}

TEST_F(NamespaceTest, InstalledDaemonCannotBePointedAtAnotherList)
{
    struct stat st;
    if (stat(DPD_ACTIVATION_LIST_DIR "dbus-sess-proxy.list", &st) == 0)
        GTEST_SKIP() << "this machine has a real session activation list";
    daemon.use_installed_binary();
    write_list("dbus-sess-proxy.list", player_line);
    start_unix();
    start_services();
    connect_client();
    EXPECT_EQ(answered_by(client, "org.example.Player"), plain.unique_name());
}

TEST_F(NamespaceTest, EveryChangeToTheListIsSeenByTheNextCall)
{
    start_unix();
    start_services();
    connect_client();
    const std::string list = daemon.activation_list("dbus-sess-proxy.list");
    const std::string elsewhere = daemon.activation_list("list.new");

    // Same-size edits in place, each right after a call that read the list.
    for (int round = 0; round < 6; ++round) {
        write_list("dbus-sess-proxy.list", player_line);
        EXPECT_EQ(answered_by(client, "org.example.Player"), namespaced.unique_name()) << round;
        write_list("dbus-sess-proxy.list", "org.example.Player=org.example.Player.dockex\n");
        EXPECT_EQ(answered_by(client, "org.example.Player"), plain.unique_name()) << round;
    }

    write_file(elsewhere, player_line);
    ASSERT_EQ(std::rename(elsewhere.c_str(), list.c_str()), 0);
    EXPECT_EQ(answered_by(client, "org.example.Player"), namespaced.unique_name());
    ASSERT_EQ(std::remove(list.c_str()), 0);
    EXPECT_EQ(answered_by(client, "org.example.Player"), plain.unique_name());
    write_list("dbus-sess-proxy.list", player_line);
    EXPECT_EQ(answered_by(client, "org.example.Player"), namespaced.unique_name());

    // A FIFO in its place, that nobody writes: no list, and no stall.
    ASSERT_EQ(std::remove(list.c_str()), 0);
    ASSERT_EQ(mkfifo(list.c_str(), 0600), 0);
    EXPECT_EQ(answered_by(client, "org.example.Player"), plain.unique_name());
    write_file(elsewhere, player_line);
    ASSERT_EQ(std::rename(elsewhere.c_str(), list.c_str()), 0);
    EXPECT_EQ(answered_by(client, "org.example.Player"), namespaced.unique_name());
}
