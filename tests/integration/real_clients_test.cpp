// Client libraries that nobody here wrote, through the proxy, each run as a
// container application runs: with an empty home of its own, where no
// keyring of the daemon's user can be found.
#include "fixture.h"

using namespace harness;

namespace {

class RealClients : public ProxyTest {
protected:
    ClientHome home;
    std::string tcp_address;

    void start_tcp()
    {
        int port = free_tcp_port();
        ASSERT_GT(port, 0);
        const std::string p = std::to_string(port);
        ASSERT_TRUE(daemon.start({"--bind", "127.0.0.1", "--port", p}));
        tcp_address = "tcp:host=127.0.0.1,port=" + p;
        ASSERT_TRUE(wait_until([&] {
            Client probe;
            return probe.open(tcp_address, false);
        }));
    }

    // A client that hangs in authentication runs into the timeout: -1.
    int run(const std::vector<std::string> &argv, std::string *out, std::string *err)
    {
        return run_command(argv, home.env(), out, err, 10000ms);
    }

    void expect_libdbus(const std::string &address)
    {
        std::string out, err;
        EXPECT_EQ(run({"dbus-send", "--bus=" + address, "--print-reply",
                       "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus.GetNameOwner", "string:org.freedesktop.DBus"},
                      &out, &err),
                  0)
            << err;
        EXPECT_NE(out.find("string \"org.freedesktop.DBus\""), std::string::npos) << out;
    }

    void expect_gdbus(const std::string &address)
    {
        std::string out, err;
        EXPECT_EQ(run({"gdbus", "call", "--address", address, "--dest", "org.freedesktop.DBus",
                       "--object-path", "/org/freedesktop/DBus", "--method",
                       "org.freedesktop.DBus.ListNames"},
                      &out, &err),
                  0)
            << err;
        EXPECT_NE(out.find("'org.freedesktop.DBus'"), std::string::npos) << out;
    }

    void expect_sdbus(const std::string &address)
    {
        std::string out, err;
        EXPECT_EQ(run({"busctl", "--address=" + address, "call", "org.freedesktop.DBus",
                       "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner", "s",
                       "org.freedesktop.DBus"},
                      &out, &err),
                  0)
            << err;
        EXPECT_EQ(out, "s \"org.freedesktop.DBus\"\n");
    }
};

} // namespace

TEST_F(RealClients, LibdbusGdbusAndSdbusOverUnixSocketFromAnEmptyHome)
{
    start_unix();
    expect_libdbus(daemon.address());
    expect_gdbus(daemon.address());
    expect_sdbus(daemon.address());
}

// TCP offers only ANONYMOUS: GDBus, offered the cookie mechanism, waited
// forever for a keyring it cannot read.
TEST_F(RealClients, LibdbusGdbusAndSdbusOverTcpFromAnEmptyHome)
{
    start_tcp();
    expect_libdbus(tcp_address);
    expect_gdbus(tcp_address);
    expect_sdbus(tcp_address);
}
