// The tray panel's GetAll calls on an item inside the container, through the
// proxy and a real host bus.
#include "fixture.h"
#include "property_dict.h"

#include <sys/wait.h>

#include <map>
#include <mutex>
#include <sstream>

using namespace harness;

namespace {

const std::string panel_path = "/usr/bin/osra-panel";

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

DBusMessage *properties_reply(DBusMessage *call, const char *icon)
{
    DBusMessage *reply = dbus_message_new_method_return(call);
    DictWriter(reply)
        .str("Category", "ApplicationStatus")
        .str("IconName", icon)
        .path("Menu", "/MenuBar")
        .boolean("ItemIsMenu", true)
        .i32("WindowId", -3)
        .u32("Version", 2)
        .dbl("Ratio", 0.5)
        .close();
    return reply;
}

std::string properties_line(const std::string &icon)
{
    return "Category=s:ApplicationStatus IconName=s:" + icon +
           " Menu=o:/MenuBar ItemIsMenu=b:true WindowId=i:-3 Version=u:2 Ratio=d:0.5";
}

// What the fake panel prints for a tray item with these icon texts.
std::string tray_item_line(const TrayIcons &icons, int side)
{
    MessagePtr m(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    write_tray_item(m.get(), icons, side);
    return join(dump_properties(m.get()));
}

class PanelTest : public ProxyTest {
protected:
    // Declared before the item, whose thread may touch them until it stops.
    std::mutex held_mutex;
    MessagePtr held;
    // The application inside the container, connected through the proxy.
    Peer item;

    void start_item(std::function<DBusMessage *(DBusMessage *)> respond)
    {
        ASSERT_TRUE(item.start(daemon.address(), {},
                               [respond](DBusConnection *, DBusMessage *m) -> DBusMessage * {
                                   return respond(m);
                               }));
    }

    // The item holds on to the first call and answers the rest at once;
    // held_call() is that call, null until it came.
    void start_item_holding_first_call()
    {
        start_item([this](DBusMessage *m) -> DBusMessage * {
            std::lock_guard<std::mutex> lock(held_mutex);
            if (!held) {
                held = MessagePtr::share(m);
                return nullptr;
            }
            return properties_reply(m, "/usr/share/icons/app.png");
        });
    }
    DBusMessage *held_call()
    {
        std::lock_guard<std::mutex> lock(held_mutex);
        return held.get();
    }

    // Runs the fake panel under the name `argv0` for `count` GetAll calls on
    // the item; returns its output lines and sets `pid`.
    std::vector<std::string> run_panel(const std::string &argv0, int count, pid_t *pid = nullptr,
                                       const std::string &option = "")
    {
        Process panel;
        const std::string out = dir.file("panel.out");
        std::vector<std::string> argv{argv0, bus.address(), item.unique_name(),
                                      std::to_string(count)};
        if (!option.empty())
            argv.push_back(option);
        EXPECT_TRUE(panel.start(argv, {}, out, dir.file("panel.err"), DPD_FAKE_PANEL_PATH));
        if (pid)
            *pid = panel.pid();
        const int status = panel.wait_exit(std::chrono::milliseconds(30000 + count * 20));
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << read_file(dir.file("panel.err"));
        return split_lines(read_file(out));
    }
};

} // namespace

TEST_F(PanelTest, PanelGetsTheIconPathRewrittenAndOthersTheOriginal)
{
    start_unix({"--verbose", "4"});
    start_item([](DBusMessage *m) { return properties_reply(m, "/usr/share/icons/app.png"); });
    const std::string original = properties_line("/usr/share/icons/app.png");
    const std::string rewritten = properties_line("/opt/tolm/usr/share/icons/app.png");

    pid_t panel_pid = -1;
    EXPECT_EQ(run_panel(panel_path, 1, &panel_pid), std::vector<std::string>{rewritten});
    // Only the first 19 bytes of the command line count, all of them.
    EXPECT_EQ(run_panel(panel_path + "-next", 1), std::vector<std::string>{rewritten});
    EXPECT_EQ(run_panel("/usr/bin/osra-pane", 1), std::vector<std::string>{original});
    EXPECT_EQ(run_panel("/usr/bin/osra-panex", 1), std::vector<std::string>{original});
    pid_t other_pid = -1;
    EXPECT_EQ(run_panel("osra-panel", 1, &other_pid), std::vector<std::string>{original});
    EXPECT_EQ(run_panel(DPD_FAKE_PANEL_PATH, 1), std::vector<std::string>{original});

    // This process is no panel either.
    Client ordinary;
    ASSERT_TRUE(ordinary.open(bus.address()));
    MessagePtr call(dbus_message_new_method_call(item.unique_name().c_str(), "/item",
                                                 DBUS_INTERFACE_PROPERTIES, "GetAll"));
    MessagePtr reply = ordinary.call(call);
    ASSERT_TRUE(reply);
    EXPECT_EQ(join(dump_properties(reply.get())), original);

    // The panel's other calls are not GetAll: their replies pass unchanged,
    // and nobody asks who made them.
    const size_t queries = count_of(daemon.log(), "] [Modify for panel]:get osra-panel pid: ");
    EXPECT_EQ(run_panel(panel_path, 1, nullptr, "member=GetEverything"),
              std::vector<std::string>{original});
    EXPECT_EQ(count_of(daemon.log(), "] [Modify for panel]:get osra-panel pid: "), queries);

    const std::string log = daemon.log();
    EXPECT_EQ(count_of(log, "] [Modify for panel]: Added serial "), 2u) << log;
    EXPECT_EQ(count_of(log, "] [Modify for panel] - change dbus message for panel and send fake "
                            "message\n"),
              2u);
    EXPECT_NE(log.find("] [Modify for panel]:get osra-panel pid: " + std::to_string(panel_pid) +
                       "\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("] [Modify for panel]:get osra-panel pid: " + std::to_string(other_pid) +
                       "\n"),
              std::string::npos)
        << log;
}

TEST_F(PanelTest, PanelPollingForeverLeavesNoRecordsAndMemoryFlat)
{
    start_unix({"--verbose", "2"});
    // The item answers in turn: a path (rewritten), a theme name and a path
    // under /run/ (passed on), an error, and a tray item with pixmaps
    // (rewritten).
    std::mutex mutex;
    std::map<int, std::pair<dbus_uint32_t, std::string>> last_call; // by kind
    int answered = 0;
    start_item([&](DBusMessage *m) -> DBusMessage * {
        std::lock_guard<std::mutex> lock(mutex);
        const int kind = answered++ % 5;
        last_call[kind] = {dbus_message_get_serial(m), dbus_message_get_sender(m)};
        switch (kind) {
        case 0:
            return properties_reply(m, "/usr/share/icons/app.png");
        case 1:
            return properties_reply(m, "app-theme-icon");
        case 2:
            return properties_reply(m, "/run/user/1000/app.png");
        case 3:
            return dbus_message_new_error(m, "org.example.Error.Busy", "busy");
        default: {
            DBusMessage *reply = dbus_message_new_method_return(m);
            write_tray_item(reply, {"/a.png", "", "", ""}, 2);
            return reply;
        }
        }
    });

    ASSERT_EQ(run_panel(panel_path, 1000).size(), 1000u);
    const long rss_before = daemon.rss_kib();
    const std::vector<std::string> lines = run_panel(panel_path, 10000);
    const long rss_after = daemon.rss_kib();
    ASSERT_EQ(lines.size(), 10000u);
    // 11,000 calls so far: this run began at kind 0.
    EXPECT_EQ(lines[0], properties_line("/opt/tolm/usr/share/icons/app.png"));
    EXPECT_EQ(lines[1], properties_line("app-theme-icon"));
    EXPECT_EQ(lines[2], properties_line("/run/user/1000/app.png"));
    EXPECT_EQ(lines[3], "error org.example.Error.Busy");
    EXPECT_EQ(lines[4], tray_item_line({"/opt/tolm/a.png", "", "", ""}, 2));
    EXPECT_EQ(count_of(read_file(dir.file("panel.out")), "/opt/tolm/"), 4000u);
    // Under AddressSanitizer freed memory sits in quarantine; the leak
    // checker and the record checks below cover that build.
    if (!harness::sanitized_build) {
        EXPECT_LT(rss_after - rss_before, 256) << rss_before << " KiB before, " << rss_after
                                               << " KiB after";
    }

    // Nothing was left recorded: a second answer to the last call of each
    // kind, naming an icon path, is not taken for the panel's reply.
    const std::string log_before = daemon.log();
    const size_t attempts = count_of(log_before, "] [Modify for panel] - remove panel serial 11111\n");
    EXPECT_EQ(attempts, 2u * 11000 / 5);
    for (const auto &[kind, call] : last_call) {
        MessagePtr late(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
        dbus_message_set_reply_serial(late.get(), call.first);
        dbus_message_set_destination(late.get(), call.second.c_str());
        DictWriter(late.get()).str("IconName", "/late.png").close();
        dbus_connection_send(item.conn(), late.get(), nullptr);
    }
    // The proxy handles a client's messages in order: once this round trip
    // is back, the late answers have been through it.
    MessagePtr ping = bus_call("GetId");
    MessagePtr pong(
        dbus_connection_send_with_reply_and_block(item.conn(), ping.get(), 5000, nullptr));
    ASSERT_TRUE(pong);
    EXPECT_EQ(count_of(daemon.log(), "] [Modify for panel] - remove panel serial 11111\n"),
              attempts);
}

TEST_F(PanelTest, ProcessIdQueryLeavesTheClientsRepliesAlone)
{
    start_unix();
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    Client host;
    ASSERT_TRUE(host.open(bus.address()));

    // The client's first call after Hello carries serial 2, as does the first
    // message the pair's private connection sends after registering.
    MessagePtr call(
        dbus_message_new_method_call(host.unique_name(), "/", "org.example.Host", "Fetch"));
    DBusPendingCall *pending = nullptr;
    ASSERT_TRUE(dbus_connection_send_with_reply(client.conn(), call.get(), &pending, 5000));
    dbus_connection_flush(client.conn());
    MessagePtr incoming =
        host.wait_message([](DBusMessage *m) { return dbus_message_has_member(m, "Fetch"); });
    ASSERT_TRUE(incoming);

    // A GetAll for the client, and right behind it the answer to the
    // client's call: the answer waits in the proxy while it asks the bus who
    // sent the GetAll.
    MessagePtr get_all(dbus_message_new_method_call(client.unique_name(), "/item",
                                                    DBUS_INTERFACE_PROPERTIES, "GetAll"));
    dbus_message_set_no_reply(get_all.get(), TRUE);
    dbus_connection_send(host.conn(), get_all.get(), nullptr);
    MessagePtr answer(dbus_message_new_method_return(incoming.get()));
    const char *payload = "payload";
    dbus_message_append_args(answer.get(), DBUS_TYPE_STRING, &payload, DBUS_TYPE_INVALID);
    dbus_connection_send(host.conn(), answer.get(), nullptr);
    dbus_connection_flush(host.conn());

    dbus_pending_call_block(pending);
    MessagePtr reply(dbus_pending_call_steal_reply(pending));
    dbus_pending_call_unref(pending);
    ASSERT_TRUE(reply);
    EXPECT_STREQ(dbus_message_get_sender(reply.get()), host.unique_name());
    const char *text = nullptr;
    EXPECT_TRUE(
        dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID));
    EXPECT_STREQ(text, "payload");
}

TEST_F(PanelTest, QueryConnectionAnswersStrayCallsAndReturnsWithTheBus)
{
    start_unix({"--verbose", "1"});
    auto respond = [](DBusMessage *m) { return properties_reply(m, "/usr/share/icons/app.png"); };
    start_item(respond);
    const std::vector<std::string> rewritten{properties_line("/opt/tolm/usr/share/icons/app.png")};
    ASSERT_EQ(run_panel(panel_path, 1), rewritten);

    // The daemon now has a second connection on the bus, besides the item's.
    Client host;
    ASSERT_TRUE(host.open(bus.address()));
    MessagePtr list = bus_call("ListNames");
    MessagePtr names_reply = host.call(list);
    ASSERT_TRUE(names_reply);
    char **names = nullptr;
    int count = 0;
    ASSERT_TRUE(dbus_message_get_args(names_reply.get(), nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING,
                                      &names, &count, DBUS_TYPE_INVALID));
    std::string query_name;
    for (int i = 0; i < count; ++i) {
        if (names[i][0] != ':' || item.unique_name() == names[i])
            continue;
        MessagePtr ask = bus_call("GetConnectionUnixProcessID");
        const char *name = names[i];
        dbus_message_append_args(ask.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
        MessagePtr pid_reply = host.call(ask);
        dbus_uint32_t pid = 0;
        if (pid_reply &&
            dbus_message_get_args(pid_reply.get(), nullptr, DBUS_TYPE_UINT32, &pid,
                                  DBUS_TYPE_INVALID) &&
            static_cast<pid_t>(pid) == daemon.process().pid())
            query_name = names[i];
    }
    dbus_free_string_array(names);
    ASSERT_FALSE(query_name.empty());

    // Messages sent to it are taken off its queue: a call is answered.
    MessagePtr poke(
        dbus_message_new_method_call(query_name.c_str(), "/", "org.example.Nobody", "Poke"));
    std::string error;
    MessagePtr reply = host.call(poke, 5000, &error);
    EXPECT_FALSE(reply);
    EXPECT_EQ(error.rfind("org.freedesktop.DBus.Error.UnknownMethod: ", 0), 0u) << error;
    host.close();

    // The bus goes away and comes back: the daemon stays up and asks the new
    // bus about the next panel call.
    bus.stop();
    EXPECT_TRUE(wait_until([&] { return !dbus_connection_get_is_connected(item.conn()); }));
    item.stop();
    ASSERT_TRUE(bus.start());
    start_item(respond);
    // The new bus numbers its connections afresh: one more makes the panel's
    // name one the daemon has never judged, so only a new query can tell.
    Client newcomer;
    ASSERT_TRUE(newcomer.open(bus.address()));
    EXPECT_EQ(run_panel(panel_path, 1), rewritten);
}

namespace {

// Whether the host bus still has a connection named `name`.
bool bus_has_owner(Client &host, const std::string &name)
{
    MessagePtr ask = bus_call("NameHasOwner");
    const char *text = name.c_str();
    dbus_message_append_args(ask.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    MessagePtr reply = host.call(ask);
    dbus_bool_t has = TRUE;
    if (reply) {
        dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_BOOLEAN, &has, DBUS_TYPE_INVALID);
    }
    return has;
}

// One round trip from the item through the proxy: the proxy handles the
// item's messages in order, so everything the item sent before is through.
void item_round_trip(DBusConnection *item)
{
    MessagePtr ping = bus_call("GetId");
    MessagePtr pong(dbus_connection_send_with_reply_and_block(item, ping.get(), 5000, nullptr));
    ASSERT_TRUE(pong);
}

} // namespace

TEST_F(PanelTest, PanelThatExitsDuringItsGetAllLeavesNoRecord)
{
    start_unix({"--verbose", "4"});
    start_item_holding_first_call();

    Process panel;
    ASSERT_TRUE(panel.start({panel_path, bus.address(), item.unique_name(), "1"}, {},
                            dir.file("gone.out"), dir.file("gone.err"), DPD_FAKE_PANEL_PATH));
    ASSERT_TRUE(wait_until([&] { return held_call() != nullptr; }, 10000ms));
    const std::string panel_name = dbus_message_get_sender(held_call());
    // Recorded before it was passed on.
    EXPECT_EQ(count_of(daemon.log(), "] [Modify for panel]: Added serial "), 1u);

    const int status = panel.stop();
    EXPECT_TRUE(WIFSIGNALED(status)) << status;
    Client host;
    ASSERT_TRUE(host.open(bus.address()));
    ASSERT_TRUE(wait_until([&] { return !bus_has_owner(host, panel_name); }));

    // The late answer takes the record with it; the substitute goes to a
    // name the bus no longer has.
    MessagePtr late(properties_reply(held_call(), "/usr/share/icons/app.png"));
    dbus_connection_send(item.conn(), late.get(), nullptr);
    item_round_trip(item.conn());
    const std::string substituted = "] [Modify for panel] - change dbus message for panel and "
                                    "send fake message\n";
    const std::string attempted = "] [Modify for panel] - remove panel serial 11111\n";
    EXPECT_EQ(count_of(daemon.log(), substituted), 1u) << daemon.log();
    // A second answer to the same call finds nothing left to adapt.
    dbus_connection_send(item.conn(), late.get(), nullptr);
    item_round_trip(item.conn());
    EXPECT_EQ(count_of(daemon.log(), attempted), 1u) << daemon.log();

    // The next panel is served as before.
    EXPECT_EQ(run_panel(panel_path, 1),
              std::vector<std::string>{properties_line("/opt/tolm/usr/share/icons/app.png")});
    EXPECT_EQ(count_of(daemon.log(), substituted), 2u);
}

TEST_F(PanelTest, PanelGoneBeforeItCanBeNamedIsRelayedUnrecorded)
{
    start_unix({"--verbose", "4"});
    std::atomic<int> calls{0};
    start_item([&](DBusMessage *m) {
        ++calls;
        return properties_reply(m, "/usr/share/icons/app.png");
    });

    // The daemon is held while the panel sends its call and leaves, so by
    // the time the daemon asks who sent it the bus no longer knows.
    const pid_t daemon_pid = daemon.process().pid();
    ASSERT_EQ(kill(daemon_pid, SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{daemon_pid};
    Process panel;
    ASSERT_TRUE(panel.start({panel_path, bus.address(), item.unique_name(), "1", "send-only"}, {},
                            dir.file("gone.out"), dir.file("gone.err"), DPD_FAKE_PANEL_PATH));
    const int status = panel.wait_exit(10000ms);
    ASSERT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << read_file(dir.file("gone.err"));
    const std::vector<std::string> out = split_lines(read_file(dir.file("gone.out")));
    ASSERT_EQ(out.size(), 1u);
    Client host;
    ASSERT_TRUE(host.open(bus.address()));
    ASSERT_TRUE(wait_until([&] { return !bus_has_owner(host, out[0]); }));
    ASSERT_EQ(kill(daemon_pid, SIGCONT), 0);

    // Relayed all the same, and its answer passed on unadapted.
    ASSERT_TRUE(wait_until([&] { return calls == 1; }));
    item_round_trip(item.conn());
    std::string log = daemon.log();
    EXPECT_NE(log.find("] [Modify for panel]:get osra-panel pid: -1\n"), std::string::npos) << log;
    EXPECT_EQ(count_of(log, "] [Modify for panel]: Added serial "), 0u) << log;
    EXPECT_EQ(count_of(log, "] [Modify for panel] - remove panel serial"), 0u) << log;

    EXPECT_EQ(run_panel(panel_path, 1),
              std::vector<std::string>{properties_line("/opt/tolm/usr/share/icons/app.png")});
    EXPECT_EQ(count_of(daemon.log(), "] [Modify for panel]: Added serial "), 1u);
}

TEST_F(PanelTest, AnswerAfterTheRecordExpiredIsForwardedUnchanged)
{
    daemon.extra_env.push_back("DPD_TEST_PANEL_RECORD_TIMEOUT_MS=300");
    start_unix({"--verbose", "4"});
    start_item_holding_first_call();

    Process panel;
    const std::string out = dir.file("late.out");
    ASSERT_TRUE(panel.start({panel_path, bus.address(), item.unique_name(), "1"}, {}, out,
                            dir.file("late.err"), DPD_FAKE_PANEL_PATH));
    ASSERT_TRUE(wait_until([&] { return held_call() != nullptr; }, 10000ms));
    EXPECT_EQ(count_of(daemon.log(), "] [Modify for panel]: Added serial "), 1u);

    // Well past the record's life, but within the panel's own timeout.
    std::this_thread::sleep_for(1500ms);
    MessagePtr late(properties_reply(held_call(), "/usr/share/icons/app.png"));
    dbus_connection_send(item.conn(), late.get(), nullptr);
    const int status = panel.wait_exit(10000ms);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(split_lines(read_file(out)),
              std::vector<std::string>{properties_line("/usr/share/icons/app.png")});
    EXPECT_EQ(count_of(daemon.log(), "] [Modify for panel] - remove panel serial"), 0u)
        << daemon.log();

    // A call answered in time is still adapted.
    EXPECT_EQ(run_panel(panel_path, 1),
              std::vector<std::string>{properties_line("/opt/tolm/usr/share/icons/app.png")});
}

TEST_F(PanelTest, EachCallerIsNamedOnceAndEachPanelOnItsOwn)
{
    start_unix({"--verbose", "4"});
    start_item([](DBusMessage *m) { return properties_reply(m, "/usr/share/icons/app.png"); });
    const std::string rewritten = properties_line("/opt/tolm/usr/share/icons/app.png");

    const std::vector<std::string> first = run_panel(panel_path, 101);
    EXPECT_EQ(first, std::vector<std::string>(101, rewritten));
    EXPECT_EQ(count_of(daemon.log(), "] [Modify for panel]:get osra-panel pid: "), 1u)
        << daemon.log();

    // Another panel process has another unique name: asked about once too.
    EXPECT_EQ(run_panel(panel_path, 3), std::vector<std::string>(3, rewritten));
    EXPECT_EQ(count_of(daemon.log(), "] [Modify for panel]:get osra-panel pid: "), 2u);
    EXPECT_EQ(count_of(daemon.log(), "] [Modify for panel]: Added serial "), 104u);
}

TEST_F(PanelTest, RealTrayItemGetsItsIconEntriesAdaptedAndEveryOtherValueIntact)
{
    start_unix({"--verbose", "4"});
    // Pixmaps of 16 pixels: about 2 KiB, as a real item sends.
    start_item([](DBusMessage *m) {
        DBusMessage *reply = dbus_message_new_method_return(m);
        write_tray_item(reply, {"app", "/opt/app/attention.png", "", "/usr/share/app/icons"});
        return reply;
    });
    const TrayIcons adapted{"app", "/opt/tolm/opt/app/attention.png", "",
                            "/opt/tolm/usr/share/app/icons"};
    EXPECT_EQ(run_panel(panel_path, 2), std::vector<std::string>(2, tray_item_line(adapted, 16)));

    const std::string log = daemon.log();
    EXPECT_EQ(count_of(log, "] [Modify for panel] - change dbus message for panel and send fake "
                            "message\n"),
              2u)
        << log;
    EXPECT_EQ(count_of(log, "[FATAL"), 0u) << log;
}

TEST_F(PanelTest, VerdictsAreForgottenWhenTheBusRestartsAndHandsTheNamesOut)
{
    start_unix({"--verbose", "4"});
    auto respond = [](DBusMessage *m) { return properties_reply(m, "/usr/share/icons/app.png"); };
    start_item(respond);
    auto get_all = [&](Client &caller) {
        MessagePtr call(dbus_message_new_method_call(item.unique_name().c_str(), "/StatusNotifierItem",
                                                     "org.freedesktop.DBus.Properties", "GetAll"));
        const char *interface = "org.kde.StatusNotifierItem";
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &interface, DBUS_TYPE_INVALID);
        return caller.call(call);
    };
    // An ordinary program, well into the bus's numbering, is named "not the panel".
    std::vector<std::unique_ptr<Client>> spare;
    auto connect_direct = [&] {
        spare.push_back(std::make_unique<Client>());
        EXPECT_TRUE(spare.back()->open(bus.address()));
        return std::stoul(std::string(spare.back()->unique_name()).substr(3));
    };
    for (int i = 0; i < 8; ++i)
        connect_direct();
    Client ordinary;
    ASSERT_TRUE(ordinary.open(bus.address()));
    const std::string name = ordinary.unique_name();
    ASSERT_TRUE(get_all(ordinary));
    ASSERT_EQ(count_of(daemon.log(), "] [Modify for panel]:get osra-panel pid: "), 1u);

    // The bus restarts; the panel gets that very name on the new bus.
    ordinary.close();
    spare.clear();
    item.stop();
    bus.stop();
    ASSERT_TRUE(bus.start());
    start_item(respond);
    const unsigned long wanted = std::stoul(name.substr(3));
    while (connect_direct() + 1 < wanted) {
    }
    if (std::string(spare.back()->unique_name()) != ":1." + std::to_string(wanted - 1))
        GTEST_SKIP() << "the new bus numbers names differently";
    EXPECT_EQ(run_panel(panel_path, 1),
              std::vector<std::string>{properties_line("/opt/tolm/usr/share/icons/app.png")})
        << daemon.log();
}
