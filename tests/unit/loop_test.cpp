// The main-loop integration on local connections: the daemon's end is run
// by the loop, the far end by hand, so the test decides when it reads.
#include "loop/loop.h"

#include "harness.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

void pump()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

// Messages a loop-run connection has dispatched, by connection.
struct Inbox {
    std::vector<DBusMessage *> messages;
    ~Inbox()
    {
        for (DBusMessage *m : messages)
            dbus_message_unref(m);
    }
};

DBusHandlerResult keep(DBusConnection *, DBusMessage *message, void *data)
{
    if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_SIGNAL &&
        dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected"))
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    static_cast<Inbox *>(data)->messages.push_back(dbus_message_ref(message));
    return DBUS_HANDLER_RESULT_HANDLED;
}

// A local server run by the loop; its accepted connections are kept, and
// each far end is a plain libdbus connection that the test pumps by hand.
class Loop : public testing::Test {
protected:
    harness::TempDir dir;
    DBusServer *server = nullptr;
    std::vector<DBusConnection *> accepted;
    std::vector<DBusConnection *> far_ends;

    void SetUp() override
    {
        const std::string address = "unix:path=" + dir.file("loop.sock");
        server = dbus_server_listen(address.c_str(), nullptr);
        ASSERT_NE(server, nullptr);
        dbus_server_set_new_connection_function(server, on_accept, this, nullptr);
        ASSERT_TRUE(loop_attach_server(server));
    }
    void TearDown() override
    {
        for (DBusConnection *c : accepted) {
            dbus_connection_close(c);
            dbus_connection_unref(c);
        }
        for (DBusConnection *c : far_ends) {
            dbus_connection_close(c);
            dbus_connection_unref(c);
        }
        dbus_server_disconnect(server);
        dbus_server_unref(server);
        pump();
    }

    static void on_accept(DBusServer *, DBusConnection *connection, void *data)
    {
        static_cast<Loop *>(data)->accepted.push_back(dbus_connection_ref(connection));
        loop_attach_connection(connection);
    }

    // Connects a far end; returns the index of the pair.
    size_t connect()
    {
        const std::string address = "unix:path=" + dir.file("loop.sock");
        DBusConnection *far = dbus_connection_open_private(address.c_str(), nullptr);
        EXPECT_NE(far, nullptr);
        far_ends.push_back(far);
        const size_t index = far_ends.size() - 1;
        EXPECT_TRUE(harness::wait_until([&] {
            pump();
            dbus_connection_read_write(far, 0);
            return accepted.size() > index && dbus_connection_get_is_authenticated(far) &&
                   dbus_connection_get_is_authenticated(accepted[index]);
        }));
        return index;
    }
};

DBusMessage *blob_signal(size_t size, char fill)
{
    DBusMessage *m = dbus_message_new_signal("/", "org.example.Loop", "Blob");
    std::vector<char> bytes(size, fill);
    const char *data = bytes.data();
    dbus_message_append_args(m, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, static_cast<int>(size),
                             DBUS_TYPE_INVALID);
    return m;
}

bool blob_is(DBusMessage *m, size_t size, char fill)
{
    const char *data = nullptr;
    int length = 0;
    if (!dbus_message_get_args(m, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, &length,
                               DBUS_TYPE_INVALID) ||
        static_cast<size_t>(length) != size)
        return false;
    for (int i = 0; i < length; ++i)
        if (data[i] != fill)
            return false;
    return true;
}

TEST_F(Loop, BlockedWriteQueueDrainsOnceThePeerReadsAgain)
{
    const size_t i = connect();
    DBusConnection *far = far_ends[i];
    // 32 x 256 KiB is far more than the socket buffers hold.
    constexpr int count = 32;
    constexpr size_t size = 256 * 1024;
    for (int n = 0; n < count; ++n) {
        DBusMessage *m = blob_signal(size, static_cast<char>('a' + n % 26));
        ASSERT_TRUE(dbus_connection_send(accepted[i], m, nullptr));
        dbus_message_unref(m);
    }
    // The far end does not read; the loop must wait for writability
    // rather than lose or spin on the queue.
    const auto until = std::chrono::steady_clock::now() + 200ms;
    while (std::chrono::steady_clock::now() < until)
        g_main_context_iteration(nullptr, FALSE);
    EXPECT_TRUE(dbus_connection_has_messages_to_send(accepted[i]));

    int received = 0;
    bool in_order = true;
    ASSERT_TRUE(harness::wait_until(
        [&] {
            // libdbus reads a few KiB per call.
            for (int n = 0; n < 256; ++n) {
                pump();
                dbus_connection_read_write(far, 0);
            }
            while (DBusMessage *m = dbus_connection_pop_message(far)) {
                if (dbus_message_is_signal(m, "org.example.Loop", "Blob"))
                    in_order &= blob_is(m, size, static_cast<char>('a' + received++ % 26));
                dbus_message_unref(m);
            }
            return received == count;
        },
        20000ms))
        << received << " of " << count;
    EXPECT_TRUE(in_order);
    EXPECT_FALSE(dbus_connection_has_messages_to_send(accepted[i]));
}

TEST_F(Loop, LargeMessageReadInPiecesArrivesWholeAndWithWhatFollows)
{
    const size_t i = connect();
    Inbox inbox;
    ASSERT_TRUE(dbus_connection_add_filter(accepted[i], keep, &inbox, nullptr));
    DBusConnection *far = far_ends[i];
    constexpr size_t size = 8 * 1024 * 1024;
    DBusMessage *big = blob_signal(size, 'z');
    DBusMessage *small = blob_signal(3, 's');
    ASSERT_TRUE(dbus_connection_send(far, big, nullptr));
    ASSERT_TRUE(dbus_connection_send(far, small, nullptr));
    dbus_message_unref(big);
    dbus_message_unref(small);

    ASSERT_TRUE(harness::wait_until(
        [&] {
            dbus_connection_read_write(far, 0);
            pump();
            return inbox.messages.size() >= 2;
        },
        20000ms));
    ASSERT_EQ(inbox.messages.size(), 2u);
    EXPECT_TRUE(blob_is(inbox.messages[0], size, 'z'));
    EXPECT_TRUE(blob_is(inbox.messages[1], 3, 's'));
    dbus_connection_remove_filter(accepted[i], keep, &inbox);
}

struct PipeWatch {
    int fds[2] = {-1, -1};
    Inbox *inbox = nullptr;
    int calls = 0;
    size_t messages_seen = 0; // when the first call came
};

void on_pipe(void *data)
{
    auto *w = static_cast<PipeWatch *>(data);
    if (w->calls++ == 0)
        w->messages_seen = w->inbox->messages.size();
    char buffer[16];
    while (read(w->fds[0], buffer, sizeof buffer) > 0) {
    }
    loop_unwatch_fd(w->fds[0]); // from inside its own callback
}

TEST_F(Loop, WatchedDescriptorComesBeforeTheMessagesAndCanUnwatchItself)
{
    const size_t i = connect();
    Inbox inbox;
    ASSERT_TRUE(dbus_connection_add_filter(accepted[i], keep, &inbox, nullptr));
    PipeWatch w;
    w.inbox = &inbox;
    ASSERT_EQ(pipe2(w.fds, O_NONBLOCK | O_CLOEXEC), 0);
    ASSERT_TRUE(loop_watch_fd(w.fds[0], on_pipe, &w));

    // Both are ready when the loop next looks: the descriptor is handled
    // before the message is dispatched, though the socket was ready first.
    DBusMessage *m = blob_signal(3, 'a');
    ASSERT_TRUE(dbus_connection_send(far_ends[i], m, nullptr));
    dbus_message_unref(m);
    dbus_connection_flush(far_ends[i]);
    ASSERT_EQ(write(w.fds[1], "x", 1), 1);
    ASSERT_TRUE(harness::wait_until([&] {
        pump();
        return !inbox.messages.empty();
    }));
    EXPECT_EQ(w.calls, 1);
    EXPECT_EQ(w.messages_seen, 0u);

    // Unwatched: a later write calls nothing.
    ASSERT_EQ(write(w.fds[1], "y", 1), 1);
    for (int n = 0; n < 10; ++n)
        g_main_context_iteration(nullptr, FALSE);
    EXPECT_EQ(w.calls, 1);
    close(w.fds[0]);
    close(w.fds[1]);
    dbus_connection_remove_filter(accepted[i], keep, &inbox);
}

void note_done(DBusPendingCall *, void *data)
{
    *static_cast<bool *>(data) = true;
}

TEST_F(Loop, PendingCallTimesOutThroughTheLoop)
{
    const size_t i = connect();
    DBusMessage *call = dbus_message_new_method_call(nullptr, "/", "org.example.Loop", "Never");
    DBusPendingCall *pending = nullptr;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(dbus_connection_send_with_reply(accepted[i], call, &pending, 300));
    dbus_message_unref(call);
    ASSERT_NE(pending, nullptr);
    bool done = false;
    dbus_pending_call_set_notify(pending, note_done, &done, nullptr);

    // The far end reads the call but never answers.
    ASSERT_TRUE(harness::wait_until(
        [&] {
            dbus_connection_read_write(far_ends[i], 0);
            g_main_context_iteration(nullptr, FALSE);
            return done;
        },
        10000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    DBusMessage *reply = dbus_pending_call_steal_reply(pending);
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(dbus_message_get_error_name(reply), DBUS_ERROR_NO_REPLY);
    dbus_message_unref(reply);
    dbus_pending_call_unref(pending);
}

// A filter that ends its own connection and another, as a pair does.
struct Dropper {
    std::vector<DBusConnection *> *accepted;
    size_t self;
    size_t other;
    bool *self_dropped;
    bool *other_dropped;
    bool called_after_drop = false;
    int calls = 0;
};

void drop(DBusConnection *&connection, bool *dropped)
{
    if (!connection)
        return;
    *dropped = true;
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    connection = nullptr;
}

DBusHandlerResult drop_both(DBusConnection *, DBusMessage *, void *data)
{
    auto *d = static_cast<Dropper *>(data);
    if (*d->self_dropped)
        d->called_after_drop = true;
    ++d->calls;
    drop((*d->accepted)[d->self], d->self_dropped);
    drop((*d->accepted)[d->other], d->other_dropped);
    return DBUS_HANDLER_RESULT_HANDLED;
}

TEST_F(Loop, ConnectionDroppedByAFilterIsNeverDispatchedAgain)
{
    const size_t a = connect();
    const size_t b = connect();
    bool a_dropped = false, b_dropped = false;
    Dropper da{&accepted, a, b, &a_dropped, &b_dropped};
    Dropper db{&accepted, b, a, &b_dropped, &a_dropped};
    ASSERT_TRUE(dbus_connection_add_filter(accepted[a], drop_both, &da, nullptr));
    ASSERT_TRUE(dbus_connection_add_filter(accepted[b], drop_both, &db, nullptr));

    // Several messages on both, likely read in one pass: the first filter
    // to run ends both connections, whose queued messages and Disconnected
    // must then never reach a filter (its data is gone in a real pair).
    for (DBusConnection *far : {far_ends[a], far_ends[b]}) {
        for (int n = 0; n < 5; ++n) {
            DBusMessage *m = blob_signal(16, 'q');
            dbus_connection_send(far, m, nullptr);
            dbus_message_unref(m);
        }
        dbus_connection_flush(far);
    }
    EXPECT_TRUE(harness::wait_until([&] {
        pump();
        return a_dropped && b_dropped;
    }));
    const auto until = std::chrono::steady_clock::now() + 200ms;
    while (std::chrono::steady_clock::now() < until)
        pump();
    EXPECT_EQ(da.calls + db.calls, 1);
    EXPECT_FALSE(da.called_after_drop);
    EXPECT_FALSE(db.called_after_drop);
    std::erase(accepted, nullptr);
}

} // namespace
