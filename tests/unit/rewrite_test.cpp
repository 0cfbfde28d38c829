// Destination rewriting on real messages, with the activation list in a
// temporary directory and the pair's client end on a local connection.
#include "log/log.h"
#include "loop/loop.h"
#include "main/command_line.h"
#include "namespace/activation_list.h"
#include "namespace/rewrite.h"
#include "util/overrides.h"

#include "harness.h"
#include "list_dir_fixture.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <deque>
#include <optional>
#include <string>

namespace {

std::string prefix(const char *level)
{
    return std::string("[") + level + " dbus-proxy-daemon (" + std::to_string(getpid()) + ")] ";
}

void pump()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

// A connection accepted by a local server, standing in for pair.client,
// and the application's end of it; both run on the default main context.
class LocalLink {
public:
    explicit LocalLink(const std::string &dir)
    {
        const std::string address = "unix:path=" + dir + "/link.sock";
        server_ = dbus_server_listen(address.c_str(), nullptr);
        if (!server_)
            return;
        dbus_server_set_new_connection_function(server_, accept, this, nullptr);
        loop_attach_server(server_);
        app_ = dbus_connection_open_private(address.c_str(), nullptr);
        if (!app_)
            return;
        loop_attach_connection(app_);
        dbus_connection_add_filter(app_, capture, this, nullptr);
        harness::wait_until([this] {
            pump();
            return accepted_ && dbus_connection_get_is_authenticated(app_);
        });
    }
    ~LocalLink()
    {
        for (DBusMessage *m : received_)
            dbus_message_unref(m);
        for (DBusConnection *c : {app_, accepted_}) {
            if (c) {
                dbus_connection_close(c);
                dbus_connection_unref(c);
            }
        }
        if (server_) {
            dbus_server_disconnect(server_);
            dbus_server_unref(server_);
        }
    }
    LocalLink(const LocalLink &) = delete;
    LocalLink &operator=(const LocalLink &) = delete;

    DBusConnection *accepted() const { return accepted_; }

    // The next message sent on accepted() (caller unrefs), or null.
    DBusMessage *next_message()
    {
        harness::wait_until([this] {
            pump();
            return !received_.empty();
        });
        if (received_.empty())
            return nullptr;
        DBusMessage *m = received_.front();
        received_.pop_front();
        return m;
    }

private:
    static void accept(DBusServer *, DBusConnection *connection, void *data)
    {
        auto *self = static_cast<LocalLink *>(data);
        self->accepted_ = dbus_connection_ref(connection);
        loop_attach_connection(connection);
    }
    static DBusHandlerResult capture(DBusConnection *, DBusMessage *message, void *data)
    {
        static_cast<LocalLink *>(data)->received_.push_back(dbus_message_ref(message));
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    DBusServer *server_ = nullptr;
    DBusConnection *app_ = nullptr;
    DBusConnection *accepted_ = nullptr;
    std::deque<DBusMessage *> received_;
};

constexpr dbus_uint32_t call_serial = 77;

DBusMessage *play_call(const char *destination)
{
    DBusMessage *call = dbus_message_new_method_call(destination, "/org/example/Player",
                                                     "org.example.Player", "Play");
    const char *song = "song";
    dbus_message_append_args(call, DBUS_TYPE_STRING, &song, DBUS_TYPE_INVALID);
    dbus_message_set_serial(call, call_serial);
    return call;
}

class Rewrite : public ListDirTest {
protected:
    ConnectionPair pair{};
    std::optional<LocalLink> link;

    void SetUp() override
    {
        ListDirTest::SetUp();
        link.emplace(dir.path());
        ASSERT_NE(link->accepted(), nullptr);
        pair.client = link->accepted();
        pair.config = &config;
    }
    void TearDown() override
    {
        ListDirTest::TearDown();
        log_verbosity = 0;
        g_list_free(config.owned_names);
    }

    void write_list(const std::string &text)
    {
        harness::write_file(dir.file("dbus-sess-proxy.list"), text);
    }

    // Rewrites a call to `destination`; returns the result and, through
    // `after`, the destination it leaves with and what was logged.
    int rewrite(const char *destination, std::string *after, std::string *log = nullptr)
    {
        DBusMessage *call = play_call(destination);
        testing::internal::CaptureStdout();
        int result = rewrite_destination(&pair, call);
        std::fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        if (log)
            *log = out;
        *after = dbus_message_get_destination(call);
        dbus_message_unref(call);
        return result;
    }

    // Expects the error reply that refuses the call to `candidate`.
    void expect_refusal(const std::string &candidate)
    {
        DBusMessage *reply = link->next_message();
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(dbus_message_get_type(reply), DBUS_MESSAGE_TYPE_ERROR);
        EXPECT_STREQ(dbus_message_get_error_name(reply), "org.freedesktop.DBus.Error.ServiceUnknown");
        EXPECT_EQ(dbus_message_get_reply_serial(reply), call_serial);
        const char *text = nullptr;
        EXPECT_TRUE(dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID));
        EXPECT_EQ(std::string(text ? text : ""), "[CLIENT:]Failed to proxy method-call for " + candidate);
        dbus_message_unref(reply);
    }
};

} // namespace

TEST_F(Rewrite, ConfirmedCallLeavesForTheCandidateWithAllElseUnchanged)
{
    write_list("org.example.Player=org.example.Player.docker2\n");
    log_verbosity = 4;
    DBusMessage *call = play_call("org.example.Player");
    testing::internal::CaptureStdout();
    EXPECT_EQ(rewrite_destination(&pair, call), 0);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              prefix("TRACE") +
                  "[CLIENT]normal dbus-call for namespaced activatable service "
                  "org.example.Player.docker\n");

    // The candidate is set, never the value it was confirmed by.
    EXPECT_STREQ(dbus_message_get_destination(call), "org.example.Player.docker");
    EXPECT_EQ(dbus_message_get_serial(call), call_serial);
    EXPECT_STREQ(dbus_message_get_path(call), "/org/example/Player");
    EXPECT_STREQ(dbus_message_get_interface(call), "org.example.Player");
    EXPECT_STREQ(dbus_message_get_member(call), "Play");
    const char *song = nullptr;
    EXPECT_TRUE(dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &song, DBUS_TYPE_INVALID));
    EXPECT_STREQ(song, "song");
    // And it still serialises, as the relay checks before sending.
    char *wire = nullptr;
    int wire_len = 0;
    EXPECT_TRUE(dbus_message_marshal(call, &wire, &wire_len));
    dbus_free(wire);
    dbus_message_unref(call);
}

TEST_F(Rewrite, ListValueMustBeginWithTheCandidate)
{
    const struct {
        const char *namespace_name;
        const char *list; // null: no list file
        const char *destination;
        const char *expected;
    } cases[] = {
        {"docker", nullptr, "org.example.Player", "org.example.Player"},
        {"docker", "org.example.Player=org.example.Player.docker\n", "org.example.Player",
         "org.example.Player.docker"},
        {"docker", "org.example.Player=org.example.Player.other\n", "org.example.Player",
         "org.example.Player"},
        {"docker", "org.example.Player=org.example.Player.dock\n", "org.example.Player",
         "org.example.Player"},
        {"docker", "=org.example.Player=org.example.Player.docker\n", "org.example.Player",
         "org.example.Player"},
        {"sandbox", "org.example.Player=org.example.Player.docker\n", "org.example.Player",
         "org.example.Player"},
        {"sandbox", "org.example.Player=org.example.Player.sandbox\n", "org.example.Player",
         "org.example.Player.sandbox"},
        // Already namespaced: looked up under its own name, candidate doubled.
        {"docker", "org.example.Player=org.example.Player.docker\n", "org.example.Player.docker",
         "org.example.Player.docker"},
        {"docker", "org.example.Player.docker=org.example.Player.docker.docker\n",
         "org.example.Player.docker", "org.example.Player.docker.docker"},
        {"docker", "org.example.Player=org.example.Player.docker\n", ":1.42", ":1.42"},
    };
    for (const auto &c : cases) {
        config.namespace_name = c.namespace_name;
        if (c.list)
            write_list(c.list);
        else
            std::remove(dir.file("dbus-sess-proxy.list").c_str());
        std::string after;
        EXPECT_EQ(rewrite(c.destination, &after), 0);
        EXPECT_EQ(after, c.expected) << c.namespace_name << " / " << (c.list ? c.list : "no list")
                                     << " / " << c.destination;
    }
}

TEST_F(Rewrite, UnchangedCallIsTracedUnderTheNameTheClientGave)
{
    log_verbosity = 4;
    std::string after, log;
    EXPECT_EQ(rewrite(":1.42", &after, &log), 0);
    EXPECT_EQ(log, prefix("DEBUG") + "Cannot open activate list " + dir.file("dbus-sess-proxy.list") +
                       "\n" + prefix("TRACE") + "[CLIENT]normal dbus-call for service :1.42\n");
}

TEST_F(Rewrite, RegistryIsAskedBeforeTheList)
{
    write_list("org.example.Player=org.example.Player.other\n");
    config.trace = 1; // would print a line if the list were opened
    log_verbosity = 4;
    char registered[] = "org.example.Player.docker";
    config.owned_names = g_list_append(config.owned_names, registered);

    std::string after, log;
    EXPECT_EQ(rewrite("org.example.Player", &after, &log), 0);
    EXPECT_EQ(after, "org.example.Player.docker");
    EXPECT_EQ(log, prefix("TRACE") +
                       "[CLIENT]normal dbus-call for namespaced service org.example.Player.docker\n");

    // Exact, case-sensitive comparison.
    char other_case[] = "org.example.player.docker";
    EXPECT_EQ(owned_names_contains(config.owned_names, other_case), 0);
    EXPECT_EQ(owned_names_contains(nullptr, registered), 0);
    registered[0] = 'O';
    EXPECT_EQ(rewrite("org.example.Player", &after), 0);
    EXPECT_EQ(after, "org.example.Player");
}

TEST_F(Rewrite, InvalidCandidateIsRefusedWithServiceUnknown)
{
    config.namespace_name = "1abc";
    write_list("org.example.Player=org.example.Player.1abc\n");
    log_verbosity = 3;
    std::string after, log;
    EXPECT_EQ(rewrite("org.example.Player", &after, &log), -1);
    EXPECT_EQ(after, "org.example.Player");
    EXPECT_EQ(log, prefix("DEBUG") +
                       "Cannot redirect active-destination to org.example.Player.1abc for client "
                       "call\n");
    expect_refusal("org.example.Player.1abc");
}

TEST_F(Rewrite, CandidateIsCutAt511Characters)
{
    const std::string long_namespace(600, 'n');
    config.namespace_name = long_namespace.c_str();
    const std::string candidate = ("org.example.Player." + long_namespace).substr(0, 511);

    // No list value is that long, so the list never confirms it.
    write_list("org.example.Player=" + candidate.substr(0, 235) + "\n");
    std::string after;
    EXPECT_EQ(rewrite("org.example.Player", &after), 0);
    EXPECT_EQ(after, "org.example.Player");

    // The registry can match it, but it is too long for a bus name.
    std::string registered = candidate;
    config.owned_names = g_list_append(config.owned_names, registered.data());
    log_verbosity = 1;
    std::string log;
    EXPECT_EQ(rewrite("org.example.Player", &after, &log), -1);
    EXPECT_EQ(log, prefix("WARN ") + "Cannot redirect requested-destination to " + candidate +
                       " for client call\n");
    expect_refusal(candidate);
}

TEST_F(Rewrite, NamespaceThatIsNotUtf8IsRefusedWithItsBytesEscaped)
{
    // libdbus would abort the process on the raw bytes in the reply.
    config.namespace_name = "d\xff\xc3";
    write_list("org.example.Player=org.example.Player.d\xff\xc3\n");
    std::string after;
    EXPECT_EQ(rewrite("org.example.Player", &after), -1);
    expect_refusal("org.example.Player.d\\xff\\xc3");
}
