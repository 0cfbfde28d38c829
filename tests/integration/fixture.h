// One private host bus and one daemon per test.
#pragma once

#include "harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

class ProxyTest : public testing::Test {
protected:
    harness::TempDir dir;
    harness::HostBus bus{dir.path()};
    harness::Daemon daemon{dir.path(), ""};

    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        ASSERT_TRUE(bus.start());
        daemon.set_bus_address(bus.address());
    }
    void TearDown() override
    {
        if (daemon.process().pid() > 0) {
            EXPECT_TRUE(daemon.process().running()) << "the daemon died during the test";
            const int status = daemon.process().stop();
            // SIGTERM is an orderly shutdown (and, in sanitizer builds, the
            // leak check): anything but exit 0 is a fault.
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "daemon status " << status << "\n"
                << harness::read_file(dir.file("daemon.err"));
        }
        bus.stop();
    }

    void start_unix(const std::vector<std::string> &extra = {})
    {
        ASSERT_TRUE(daemon.start_unix(extra)) << daemon.log();
    }
};

inline MessagePtr bus_call(const char *member)
{
    return MessagePtr(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                   DBUS_INTERFACE_DBUS, member));
}

// One call to the bus through `client`, answered.
inline void round_trip(harness::Client &client)
{
    ASSERT_TRUE(client.call(bus_call("GetId")));
}
