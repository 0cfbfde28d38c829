// File descriptors through the proxy: passed where the client's transport
// can carry them, refused at once with an error where it cannot.
#include "fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

using namespace harness;

namespace {

const char *const kService = "org.example.Fds";

// A pipe whose read end yields `text`; returns the read end.
int pipe_with(const char *text)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const ssize_t len = static_cast<ssize_t>(std::strlen(text));
    if (write(fds[1], text, len) != len) {
        ::close(fds[0]);
        fds[0] = -1;
    }
    ::close(fds[1]);
    return fds[0];
}

std::string read_all(int fd)
{
    std::string text;
    char buf[64];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

// Open: returns a descriptor that reads "from the host".
// Read: reads the descriptor it is given and returns the text.
DBusMessage *fd_service(DBusConnection *, DBusMessage *call)
{
    DBusMessage *reply = dbus_message_new_method_return(call);
    if (dbus_message_has_member(call, "Open")) {
        int fd = pipe_with("from the host");
        dbus_message_append_args(reply, DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID);
        ::close(fd);
    } else {
        int fd = -1;
        std::string text;
        if (dbus_message_get_args(call, nullptr, DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID)) {
            text = read_all(fd);
            ::close(fd);
        }
        const char *t = text.c_str();
        dbus_message_append_args(reply, DBUS_TYPE_STRING, &t, DBUS_TYPE_INVALID);
    }
    return reply;
}

MessagePtr fd_call(const char *dest, const char *member)
{
    return MessagePtr(dbus_message_new_method_call(dest, "/org/example/Fds", kService, member));
}

class Descriptors : public ProxyTest {
protected:
    Peer host;
    Client client;

    void SetUp() override
    {
        ProxyTest::SetUp();
        ASSERT_TRUE(host.start(bus.address(), {kService}, fd_service));
    }

    void start_tcp()
    {
        const std::string port = std::to_string(free_tcp_port());
        ASSERT_TRUE(daemon.start({"--bind", "127.0.0.1", "--port", port, "--verbose", "1"}));
        const std::string address = "tcp:host=127.0.0.1,port=" + port;
        ASSERT_TRUE(wait_until([&] { return client.open(address); }));
    }

    // Calls Open and returns the error name ("" on success), timed.
    std::string call_open(std::chrono::milliseconds *took, std::string *read_back = nullptr)
    {
        MessagePtr call = fd_call(kService, "Open");
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        MessagePtr reply = client.call(call, 20000, &error);
        *took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        if (!reply)
            return error.substr(0, error.find(':'));
        int fd = -1;
        if (read_back && dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UNIX_FD, &fd,
                                               DBUS_TYPE_INVALID)) {
            *read_back = read_all(fd);
            ::close(fd);
        }
        return "";
    }
};

} // namespace

TEST_F(Descriptors, PassBothWaysOverTheUnixSocket)
{
    start_unix();
    ASSERT_TRUE(client.open(daemon.address()));
    ASSERT_TRUE(dbus_connection_can_send_type(client.conn(), DBUS_TYPE_UNIX_FD));

    std::chrono::milliseconds took{};
    std::string text;
    EXPECT_EQ(call_open(&took, &text), "");
    EXPECT_EQ(text, "from the host");

    MessagePtr call = fd_call(kService, "Read");
    int fd = pipe_with("from the container");
    dbus_message_append_args(call.get(), DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID);
    ::close(fd);
    MessagePtr reply = client.call(call);
    ASSERT_TRUE(reply);
    const char *read_text = nullptr;
    ASSERT_TRUE(dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &read_text,
                                      DBUS_TYPE_INVALID));
    EXPECT_STREQ(read_text, "from the container");
}

// The reply cannot cross TCP; the caller must hear so at once, not after
// its whole timeout, and go on being served.
TEST_F(Descriptors, ReplyWithDescriptorsOverTcpBecomesNotSupported)
{
    start_tcp();
    ASSERT_FALSE(dbus_connection_can_send_type(client.conn(), DBUS_TYPE_UNIX_FD));

    std::chrono::milliseconds took{};
    EXPECT_EQ(call_open(&took), DBUS_ERROR_NOT_SUPPORTED);
    EXPECT_LT(took, 1000ms);
    round_trip(client);
    // A second refusal in the same second: still answered, logged once.
    // The error stands for the service's reply: from the service, to the
    // caller.
    MessagePtr call = fd_call(kService, "Open");
    DBusPendingCall *pending = nullptr;
    ASSERT_TRUE(dbus_connection_send_with_reply(client.conn(), call.get(), &pending, 20000));
    dbus_pending_call_block(pending);
    MessagePtr error(dbus_pending_call_steal_reply(pending));
    dbus_pending_call_unref(pending);
    ASSERT_TRUE(error);
    EXPECT_STREQ(dbus_message_get_error_name(error.get()), DBUS_ERROR_NOT_SUPPORTED);
    EXPECT_STREQ(dbus_message_get_sender(error.get()), host.unique_name().c_str());
    EXPECT_STREQ(dbus_message_get_destination(error.get()), client.unique_name());
    round_trip(client);

    const std::string log = daemon.log();
    EXPECT_NE(log.find("Cannot pass the reply to call"), std::string::npos) << log;
    EXPECT_EQ(log.find("Cannot pass", log.find("Cannot pass") + 1), std::string::npos) << log;
}

TEST_F(Descriptors, HostCallWithDescriptorToTcpClientIsAnsweredWithNotSupported)
{
    start_tcp();
    Client caller;
    ASSERT_TRUE(caller.open(bus.address()));

    MessagePtr call = fd_call(client.unique_name(), "Read");
    int fd = pipe_with("never read");
    dbus_message_append_args(call.get(), DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID);
    ::close(fd);
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    MessagePtr reply = caller.call(call, 20000, &error);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(reply);
    EXPECT_EQ(error.substr(0, error.find(':')), DBUS_ERROR_NOT_SUPPORTED) << error;
    EXPECT_LT(took, 1000ms);
    round_trip(client);
}

// Nobody waits for a signal: it is dropped with one warning per second,
// and the signals behind it still arrive.
TEST_F(Descriptors, SignalWithDescriptorsOverTcpIsDroppedWithAWarning)
{
    start_tcp();
    dbus_bus_add_match(client.conn(), "type='signal',interface='org.example.Fds'", nullptr);
    round_trip(client); // the match is in place

    for (int i = 0; i < 3; ++i) {
        MessagePtr sig(dbus_message_new_signal("/org/example/Fds", kService, "Ready"));
        int fd = pipe_with("x");
        dbus_message_append_args(sig.get(), DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID);
        ::close(fd);
        dbus_connection_send(host.conn(), sig.get(), nullptr);
    }
    MessagePtr plain(dbus_message_new_signal("/org/example/Fds", kService, "Plain"));
    dbus_connection_send(host.conn(), plain.get(), nullptr);
    dbus_connection_flush(host.conn());

    MessagePtr got = client.wait_message([](DBusMessage *m) {
        return dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_SIGNAL &&
               dbus_message_has_interface(m, kService);
    });
    ASSERT_TRUE(got);
    EXPECT_STREQ(dbus_message_get_member(got.get()), "Plain");

    const std::string log = daemon.log();
    const std::string line =
        "Cannot pass the signal org.example.Fds.Ready from " + host.unique_name();
    const size_t at = log.find(line);
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find("Cannot pass", at + 1), std::string::npos) << log;
}
