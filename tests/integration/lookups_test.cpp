// A GLib application in the container uses a GDBusProxy on a namespaced
// service: with --namespace-lookups it must see the container's instance.
#include "fixture.h"
#include "property_dict.h"

#include <sys/stat.h>

#include <sstream>

using namespace harness;

namespace {

const char player_name[] = "org.example.Player";
const char player_path[] = "/org/example/Player";

// One instance of the player: answers Who and GetAll with its identity.
class Player {
public:
    bool start(const std::string &address, const std::string &name, const std::string &identity)
    {
        identity_ = identity;
        return peer_.start(address, {name}, [this](DBusConnection *, DBusMessage *m) {
            DBusMessage *reply = dbus_message_new_method_return(m);
            const char *who = identity_.c_str();
            if (dbus_message_is_method_call(m, "org.freedesktop.DBus.Properties", "GetAll"))
                DictWriter(reply).str("Identity", who).close();
            else
                dbus_message_append_args(reply, DBUS_TYPE_STRING, &who, DBUS_TYPE_INVALID);
            return reply;
        });
    }
    void emit(const char *text)
    {
        MessagePtr signal(dbus_message_new_signal(player_path, player_name, "Changed"));
        dbus_message_append_args(signal.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
        dbus_connection_send(peer_.conn(), signal.get(), nullptr);
        dbus_connection_flush(peer_.conn());
    }
    void stop() { peer_.stop(); }
    const std::string &unique_name() const { return peer_.unique_name(); }

private:
    std::string identity_;
    Peer peer_;
};

class GDBusProxyClient : public ProxyTest {
protected:
    Player host, container;
    Process client;

    void SetUp() override
    {
        ProxyTest::SetUp();
        if (access("/usr/bin/python3", X_OK) != 0 ||
            run_command({"/usr/bin/python3", "-c", "import gi"}, {}, nullptr, nullptr) != 0)
            GTEST_SKIP() << "python3-gi is not installed";
        write_file(daemon.activation_list("dbus-sess-proxy.list"),
                   "org.example.Player=org.example.Player.docker\n");
    }
    void TearDown() override
    {
        client.stop();
        ProxyTest::TearDown();
    }

    // Starts the proxy's client, with a HOME of its own, and waits until
    // its proxy is set up (or it has failed).
    void start_client()
    {
        const std::string home = dir.file("home");
        mkdir(home.c_str(), 0700);
        ASSERT_TRUE(client.start({"/usr/bin/python3", DPD_GDBUS_PROXY_CLIENT, daemon.address(),
                                  player_name, player_path, player_name},
                                 {"HOME=" + home}, dir.file("client.out"),
                                 dir.file("client.err")));
        ASSERT_TRUE(wait_until([&] { return has_line("ready") || !client.running(); }, 20000ms))
            << output();
        ASSERT_TRUE(has_line("ready")) << output() << read_file(dir.file("client.err"));
    }
    std::string output() const { return read_file(dir.file("client.out")); }
    bool has_line(const std::string &line) const
    {
        std::istringstream lines(output());
        for (std::string l; std::getline(lines, l);)
            if (l == line)
                return true;
        return false;
    }
    void expect_line(const std::string &line)
    {
        EXPECT_TRUE(wait_until([&] { return has_line(line); }, 10000ms))
            << "missing \"" << line << "\" in:\n"
            << output() << read_file(dir.file("client.err")) << daemon.log();
    }

    // The container's instance is the proxy's: owner, properties, calls,
    // signals, and its going away.
    void expect_container_instance(bool host_running)
    {
        expect_line("owner " + container.unique_name());
        expect_line("property container");
        expect_line("call container");
        container.emit("from-container");
        expect_line("signal Changed from-container");
        if (host_running) {
            // Sent first; once the later one is in, a wrongly shown host
            // signal would be too.
            host.emit("from-host");
            container.emit("after-host");
            expect_line("signal Changed after-host");
            EXPECT_FALSE(has_line("signal Changed from-host")) << output();
        }
        container.stop();
        expect_line("owner ");
    }
};

} // namespace

TEST_F(GDBusProxyClient, SeesTheContainerInstanceBesideTheHostOne)
{
    start_unix({"--namespace-lookups", "--verbose", "4"});
    ASSERT_TRUE(host.start(bus.address(), player_name, "host"));
    ASSERT_TRUE(container.start(bus.address(), "org.example.Player.docker", "container"));
    start_client();
    expect_container_instance(true);
    EXPECT_NE(daemon.log().find("[CLIENT]bus call GetNameOwner for namespaced service "
                                "org.example.Player.docker\n"),
              std::string::npos);
}

TEST_F(GDBusProxyClient, SeesTheContainerInstanceWithoutAHostOne)
{
    start_unix({"--namespace-lookups"});
    ASSERT_TRUE(container.start(bus.address(), "org.example.Player.docker", "container"));
    start_client();
    expect_container_instance(false);
}

TEST_F(GDBusProxyClient, WithoutTheOptionOwnerLookupsAnswerTheHostInstance)
{
    start_unix();
    ASSERT_TRUE(host.start(bus.address(), player_name, "host"));
    ASSERT_TRUE(container.start(bus.address(), "org.example.Player.docker", "container"));
    start_client();
    expect_line("owner " + host.unique_name());
    expect_line("property host");
    expect_line("call host");
}
