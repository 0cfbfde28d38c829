// SIGTERM, SIGINT and SIGHUP as an administrator (or logrotate) sends them.
#include "fixture.h"

#include <dirent.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdio>

using namespace harness;

namespace {

constexpr int big_size = 10 * 1000 * 1000;

unsigned char pattern(int i)
{
    return static_cast<unsigned char>(i * 7 % 251);
}

// Answers "Big" with `big_size` bytes.
DBusMessage *big_reply(DBusConnection *, DBusMessage *call)
{
    std::vector<unsigned char> bytes(big_size);
    for (int i = 0; i < big_size; ++i)
        bytes[i] = pattern(i);
    const unsigned char *data = bytes.data();
    DBusMessage *reply = dbus_message_new_method_return(call);
    dbus_message_append_args(reply, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, big_size,
                             DBUS_TYPE_INVALID);
    return reply;
}

// Bytes waiting in the client's socket, unread.
int unread_bytes(Client &client)
{
    int fd = -1, n = 0;
    if (!dbus_connection_get_unix_fd(client.conn(), &fd) || ioctl(fd, FIONREAD, &n) != 0)
        return -1;
    return n;
}

// Sends "Big" without reading, and waits until the daemon is writing the
// answer: it then holds the whole of it, queued for this client.
dbus_uint32_t ask_for_big_reply(Client &client)
{
    round_trip(client); // NameAcquired and the like are read before the call
    while (MessagePtr m{dbus_connection_pop_message(client.conn())}) {
    }
    MessagePtr call(dbus_message_new_method_call("com.example.Big", "/", "com.example.Big", "Big"));
    dbus_uint32_t serial = 0;
    dbus_connection_send(client.conn(), call.get(), &serial);
    dbus_connection_flush(client.conn());
    EXPECT_TRUE(wait_until([&] { return unread_bytes(client) > 100000; }, 10000ms))
        << unread_bytes(client);
    return serial;
}

// Writes on a non-blocking socket until all is written.
bool write_fully(int fd, const char *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
        } else {
            pollfd writable{fd, POLLOUT, 0};
            if (poll(&writable, 1, 10000) != 1)
                return false;
        }
    }
    return true;
}

// Bytes the client wrote that the daemon has not read yet.
int unread_by_daemon(Client &client)
{
    int fd = -1, n = -1;
    if (!dbus_connection_get_unix_fd(client.conn(), &fd) || ioctl(fd, SIOCOUTQ, &n) != 0)
        return -1;
    return n;
}

long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - since)
        .count();
}

} // namespace

TEST_F(ProxyTest, SigtermDeliversQueuedRepliesWithinTheGraceTimeThenExitsZero)
{
    start_unix();
    Peer peer;
    ASSERT_TRUE(peer.start(bus.address(), {"com.example.Big"}, big_reply));
    Client reader, stuck;
    ASSERT_TRUE(reader.open(daemon.address()));
    ASSERT_TRUE(stuck.open(daemon.address()));
    const dbus_uint32_t serial = ask_for_big_reply(reader);
    ask_for_big_reply(stuck);

    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon.process().signal(SIGTERM));

    // No longer accepting, while the clients it has are still served.
    EXPECT_TRUE(wait_until([&] { return !unix_socket_listening(daemon.socket_path()); }, 2000ms));
    Client late;
    EXPECT_FALSE(late.open(daemon.address()));

    MessagePtr reply = reader.wait_message(
        [&](DBusMessage *m) { return dbus_message_get_reply_serial(m) == serial; }, 10000ms);
    ASSERT_TRUE(reply);
    EXPECT_LT(elapsed_ms(signalled), 2000) << "the reply.get() came after the grace time";
    const unsigned char *data = nullptr;
    int length = 0;
    ASSERT_TRUE(dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data,
                                      &length, DBUS_TYPE_INVALID));
    ASSERT_EQ(length, big_size);
    int wrong = 0;
    for (int i = 0; i < length; ++i)
        wrong += data[i] != pattern(i);
    EXPECT_EQ(wrong, 0);

    // The client that never reads holds the exit back for the grace time
    // and no longer.
    const int status = daemon.process().wait_exit(10000ms);
    const long took = elapsed_ms(signalled);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status << "\n" << read_file(dir.file("daemon.err"));
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 5000);
    peer.stop();
}

TEST_F(ProxyTest, SecondSigtermDuringTheDrainExitsZeroAtOnce)
{
    start_unix();
    Peer peer;
    ASSERT_TRUE(peer.start(bus.address(), {"com.example.Big"}, big_reply));
    Client stuck;
    ASSERT_TRUE(stuck.open(daemon.address()));
    ask_for_big_reply(stuck);

    // The client that never reads would hold the exit back for the grace time.
    ASSERT_TRUE(daemon.process().signal(SIGTERM));
    ASSERT_TRUE(wait_until([&] { return !unix_socket_listening(daemon.socket_path()); }, 2000ms));
    const auto again = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon.process().signal(SIGTERM));
    const int status = daemon.process().wait_exit(10000ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status << "\n" << read_file(dir.file("daemon.err"));
    EXPECT_LT(elapsed_ms(again), 1000);
    peer.stop();
}

TEST_F(ProxyTest, SighupKeepsServingAndSigintExitsZeroAtOnceWhenNothingIsQueued)
{
    start_unix();
    Client before;
    ASSERT_TRUE(before.open(daemon.address()));
    round_trip(before);

    // Without --verbose there is no file to reopen: nothing changes.
    ASSERT_TRUE(daemon.process().signal(SIGHUP));
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(daemon.process().running());
    round_trip(before);
    Client after;
    ASSERT_TRUE(after.open(daemon.address()));
    round_trip(after);

    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon.process().signal(SIGINT));
    const int status = daemon.process().wait_exit(10000ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status << "\n" << read_file(dir.file("daemon.err"));
    // Connected but owed nothing: no reason to wait out the grace time.
    EXPECT_LT(elapsed_ms(signalled), 1500);
}

TEST_F(ProxyTest, SighupReopensTheLogFileMovedAwayAndKeepsTheOldOneWhenItCannot)
{
    const std::string log_dir = dir.file(".log");
    ASSERT_EQ(mkdir(log_dir.c_str(), 0700), 0);
    const std::string log_file = log_dir + "/tolm-dbus-proxy-sess.log";
    const std::string rotated = log_file + ".1";
    daemon.extra_env = {"DPD_TEST_LOG_DIR=" + log_dir};
    start_unix({"--verbose", "3"});
    ASSERT_TRUE(wait_until([&] {
        return read_file(log_file).find("Listen on address") != std::string::npos;
    }));
    const std::string gone_line = "[CLIENT:][NULL]connection was disconnected\n";
    auto one_client = [&] {
        Client c;
        ASSERT_TRUE(c.open(daemon.address()));
        round_trip(c);
    };
    auto count = [](const std::string &path, const std::string &text) {
        const std::string all = read_file(path);
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            ++n;
        return n;
    };

    // Whether the daemon has the file at `path` open.
    auto held = [&](const std::string &path) {
        const std::string fds = "/proc/" + std::to_string(daemon.process().pid()) + "/fd/";
        struct stat file, open_one;
        bool found = false;
        DIR *d = stat(path.c_str(), &file) == 0 ? opendir(fds.c_str()) : nullptr;
        while (dirent *e = d ? readdir(d) : nullptr)
            found = found || (stat((fds + e->d_name).c_str(), &open_one) == 0 &&
                              open_one.st_dev == file.st_dev && open_one.st_ino == file.st_ino);
        if (d)
            closedir(d);
        return found;
    };

    // The path cannot be opened (a directory stands there): the daemon
    // says so and goes on writing to the file it has.
    ASSERT_EQ(std::rename(log_file.c_str(), rotated.c_str()), 0);
    ASSERT_EQ(mkdir(log_file.c_str(), 0700), 0);
    ASSERT_TRUE(daemon.process().signal(SIGHUP));
    EXPECT_TRUE(wait_until([&] { return count(rotated, "Cannot reopen the log file") == 1; }))
        << read_file(rotated);
    one_client();
    EXPECT_TRUE(wait_until([&] { return count(rotated, gone_line) == 1; })) << read_file(rotated);
    EXPECT_TRUE(held(rotated));

    // As after logrotate: the next lines go to a new file at the old path.
    ASSERT_EQ(rmdir(log_file.c_str()), 0);
    ASSERT_TRUE(daemon.process().signal(SIGHUP));
    EXPECT_TRUE(wait_until([&] { return count(log_file, "Reopened the log file") == 1; }));
    one_client();
    EXPECT_TRUE(wait_until([&] { return count(log_file, gone_line) == 1; })) << read_file(log_file);
    EXPECT_EQ(count(rotated, gone_line), 1u) << "a line went to the rotated file";
    // Nothing holds the rotated file (or its space) any more.
    EXPECT_FALSE(held(rotated));
    EXPECT_TRUE(held(log_file));
    EXPECT_TRUE(daemon.process().running());
}

TEST_F(ProxyTest, StartUpRaisesTheSoftDescriptorLimitToTheHardOne)
{
    const std::string socket = dir.file("limited.sock");
    Process limited;
    ASSERT_TRUE(limited.start({"prlimit", "--nofile=64:512", test_daemon_path(), "--family", "unix",
                               "--socket", socket},
                              {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()}, dir.file("limited.out"),
                              dir.file("limited.err")));
    ASSERT_TRUE(wait_until([&] { return unix_socket_listening(socket); }))
        << read_file(dir.file("limited.err"));
    // prlimit runs the daemon in its own process.
    const std::string limits = read_file("/proc/" + std::to_string(limited.pid()) + "/limits");
    EXPECT_NE(limits.find("Max open files            512                  512 "), std::string::npos)
        << limits;
    const int status = limited.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(ProxyTest, SigtermWaitsForAnswersOnTheirWayAndASecondOneEndsAtOnce)
{
    start_unix();
    // A service that takes its time, one that never answers, and one that
    // takes a big call.
    std::atomic<int> big_call_bytes{-1};
    Peer service;
    ASSERT_TRUE(service.start(bus.address(), {"com.example.Svc"},
                              [&](DBusConnection *, DBusMessage *call) -> DBusMessage * {
                                  if (dbus_message_has_member(call, "Never"))
                                      return nullptr;
                                  if (dbus_message_has_member(call, "Big")) {
                                      const unsigned char *data = nullptr;
                                      int length = 0;
                                      dbus_message_get_args(call, nullptr, DBUS_TYPE_ARRAY,
                                                            DBUS_TYPE_BYTE, &data, &length,
                                                            DBUS_TYPE_INVALID);
                                      big_call_bytes = length;
                                  } else {
                                      std::this_thread::sleep_for(400ms);
                                  }
                                  return dbus_message_new_method_return(call);
                              }));
    // A client inside that a host program calls, and that is slow to answer.
    Peer slow_client;
    ASSERT_TRUE(slow_client.start(daemon.address(), {}, [](DBusConnection *, DBusMessage *call) {
        std::this_thread::sleep_for(400ms);
        return dbus_message_new_method_return(call);
    }));
    Client host, caller;
    ASSERT_TRUE(host.open(bus.address()));
    ASSERT_TRUE(caller.open(daemon.address()));

    auto send = [](Client &from, const std::string &dest, const char *member) {
        MessagePtr call(dbus_message_new_method_call(dest.c_str(), "/", "com.example.Svc", member));
        DBusPendingCall *pending = nullptr;
        EXPECT_TRUE(dbus_connection_send_with_reply(from.conn(), call.get(), &pending, 10000));
        dbus_connection_flush(from.conn());
        return pending;
    };
    auto answer = [](DBusPendingCall *pending) {
        dbus_pending_call_block(pending);
        MessagePtr reply(dbus_pending_call_steal_reply(pending));
        dbus_pending_call_unref(pending);
        return reply && dbus_message_get_type(reply.get()) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
    };
    DBusPendingCall *from_client = send(caller, "com.example.Svc", "Slow");
    DBusPendingCall *to_client = send(host, slow_client.unique_name(), "Slow");
    std::this_thread::sleep_for(100ms); // both calls are with the service and the client
    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon.process().signal(SIGTERM));
    EXPECT_TRUE(answer(from_client)) << "the client's call lost its answer";
    EXPECT_TRUE(answer(to_client)) << "the host's call to the client lost its answer";
    int status = daemon.process().wait_exit(10000ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(elapsed_ms(signalled), 1900) << "waited for nothing";

    // Nothing else in flight: a large call still being read when the signal
    // comes is read to its end, sent on and answered.
    std::vector<unsigned char> bytes(8 * 1000 * 1000, 7);
    const unsigned char *data = bytes.data();
    auto big_call = [&](bool no_reply) {
        MessagePtr call(dbus_message_new_method_call("com.example.Svc", "/", "com.example.Svc", "Big"));
        dbus_message_append_args(call.get(), DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data,
                                 static_cast<int>(bytes.size()), DBUS_TYPE_INVALID);
        dbus_message_set_no_reply(call.get(), no_reply);
        return call;
    };
    ASSERT_TRUE(daemon.start_unix()) << daemon.log();
    {
        Client writer;
        ASSERT_TRUE(writer.open(daemon.address()));
        round_trip(writer);
        // Written here rather than by libdbus, so that the signal falls
        // between two parts of it.
        MessagePtr call = big_call(false);
        dbus_message_set_serial(call.get(), 1000);
        char *wire = nullptr;
        int length = 0;
        ASSERT_TRUE(dbus_message_marshal(call.get(), &wire, &length));
        int fd = -1;
        ASSERT_TRUE(dbus_connection_get_unix_fd(writer.conn(), &fd));
        const size_t part = 1000 * 1000;
        EXPECT_TRUE(write_fully(fd, wire, part));
        ASSERT_TRUE(daemon.process().signal(SIGTERM));
        EXPECT_TRUE(write_fully(fd, wire + part, static_cast<size_t>(length) - part));
        dbus_free(wire);
        EXPECT_TRUE(writer.wait_message(
            [](DBusMessage *m) {
                return dbus_message_get_reply_serial(m) == 1000 &&
                       dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
            },
            10000ms))
            << "the call being written was lost";
        status = daemon.process().wait_exit(10000ms);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(big_call_bytes, static_cast<int>(bytes.size()));
    }

    // A large call that expects no answer, read in full but still queued
    // towards a bus that reads nothing for a while, reaches the service.
    big_call_bytes = -1;
    ASSERT_TRUE(daemon.start_unix()) << daemon.log();
    {
        Client sender;
        ASSERT_TRUE(sender.open(daemon.address()));
        round_trip(sender);
        ASSERT_TRUE(bus.signal(SIGSTOP));
        struct Resume {
            HostBus &bus;
            ~Resume() { bus.signal(SIGCONT); }
        } resume{bus};
        MessagePtr call = big_call(true);
        dbus_connection_send(sender.conn(), call.get(), nullptr);
        dbus_connection_flush(sender.conn());
        ASSERT_TRUE(wait_until([&] { return unread_by_daemon(sender) == 0; }, 10000ms));
        ASSERT_TRUE(daemon.process().signal(SIGTERM));
        std::this_thread::sleep_for(300ms); // well within the grace time
        bus.signal(SIGCONT);
        EXPECT_TRUE(wait_until([&] { return big_call_bytes == static_cast<int>(bytes.size()); },
                               10000ms))
            << big_call_bytes;
        status = daemon.process().wait_exit(10000ms);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    // A call never answered holds the stop back, until a second SIGTERM.
    ASSERT_TRUE(daemon.start_unix()) << daemon.log();
    Client waiting;
    ASSERT_TRUE(waiting.open(daemon.address()));
    DBusPendingCall *never = send(waiting, "com.example.Svc", "Never");
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(daemon.process().signal(SIGTERM));
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(daemon.process().running()) << "did not wait for the call";
    const auto again = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon.process().signal(SIGTERM));
    status = daemon.process().wait_exit(10000ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(elapsed_ms(again), 1000);
    dbus_pending_call_cancel(never);
    dbus_pending_call_unref(never);
    slow_client.stop();
    service.stop();
}
