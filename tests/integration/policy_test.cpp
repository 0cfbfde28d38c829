// The access policy (--filter) against a real host bus: one host service
// the client may talk to, one it may not.
#include "fixture.h"
#include "property_dict.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <memory>
#include <thread>

using namespace harness;

namespace {

// Calls DEST through `client`: who answered, or the error's name.
std::string outcome(Client &client, const std::string &destination, const char *member = "Play",
                    const char *interface = "org.example.Player", const char *path = "/player")
{
    MessagePtr call(dbus_message_new_method_call(destination.c_str(), path, interface, member));
    std::string error;
    MessagePtr reply = client.call(call, 5000, &error);
    if (!reply)
        return error.substr(0, error.find(':'));
    std::string sender = dbus_message_get_sender(reply.get());
    return sender;
}

// A bus call with one string argument: the reply, or null with `error`
// set to the error's name.
MessagePtr driver_call(Client &client, const char *member, const char *arg, std::string *error)
{
    MessagePtr call = bus_call(member);
    if (arg)
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &arg, DBUS_TYPE_INVALID);
    std::string text;
    MessagePtr reply = client.call(call, 5000, &text);
    *error = text.substr(0, text.find(':'));
    return reply;
}

std::string driver_error(Client &client, const char *member, const char *arg)
{
    std::string error;
    MessagePtr reply = driver_call(client, member, arg, &error);
    return reply ? "ok" : error;
}

// The answer to `call`, an error as well as a return.
MessagePtr answer_to(Client &client, const MessagePtr &call)
{
    dbus_uint32_t serial = 0;
    dbus_connection_send(client.conn(), call.get(), &serial);
    dbus_connection_flush(client.conn());
    return client.wait_message(
        [serial](DBusMessage *m) { return dbus_message_get_reply_serial(m) == serial; });
}

size_t count_of(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::vector<std::string> list_names(Client &client)
{
    std::string error;
    MessagePtr reply = driver_call(client, "ListNames", nullptr, &error);
    std::vector<std::string> names;
    if (!reply)
        return names;
    char **array = nullptr;
    int n = 0;
    if (dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &array, &n,
                              DBUS_TYPE_INVALID)) {
        names.assign(array, array + n);
        dbus_free_string_array(array);
    }
    return names;
}

bool contains(const std::vector<std::string> &names, const std::string &name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

void add_match(Client &client, const std::string &rule)
{
    ASSERT_EQ(driver_error(client, "AddMatch", rule.c_str()), "ok") << rule;
}

void emit(DBusConnection *conn, const char *member)
{
    MessagePtr signal(dbus_message_new_signal("/sig", "org.example.Sig", member));
    dbus_connection_send(conn, signal.get(), nullptr);
    dbus_connection_flush(conn);
}

bool is_sig(DBusMessage *m)
{
    return dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_SIGNAL &&
           dbus_message_has_interface(m, "org.example.Sig");
}

bool list_shows(DBusMessage *reply, const std::string &name);

void send_raw(Client &client, const MessagePtr &message, uint32_t serial = 0)
{
    if (serial)
        dbus_message_set_serial(message.get(), serial);
    dbus_connection_send(client.conn(), message.get(), nullptr);
    dbus_connection_flush(client.conn());
}

std::function<bool(DBusMessage *)> answers(uint32_t serial)
{
    return [serial](DBusMessage *m) { return dbus_message_get_reply_serial(m) == serial; };
}

class PolicyTest : public ProxyTest {
protected:
    Peer allowed, hidden;
    Client client;

    void start_all(std::vector<std::string> extra)
    {
        ASSERT_TRUE(allowed.start(bus.address(), {"org.example.Allowed"}, echo_handler));
        ASSERT_TRUE(hidden.start(bus.address(), {"org.example.Hidden"}, echo_handler));
        extra.insert(extra.begin(), {"--filter", "--talk=org.example.Allowed"});
        start_unix(extra);
        ASSERT_TRUE(client.open(daemon.address()));
    }
};

} // namespace

TEST_F(PolicyTest, CallsNamesAndOwnershipFollowTheRules)
{
    start_all({"--own=org.example.App", "--see=org.example.Seen", "--verbose", "1"});
    const std::string self = client.unique_name();

    EXPECT_EQ(outcome(client, "org.example.Allowed"), allowed.unique_name());
    EXPECT_EQ(outcome(client, allowed.unique_name()), allowed.unique_name());
    EXPECT_EQ(outcome(client, "org.example.Hidden"), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(outcome(client, hidden.unique_name()), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_NE(daemon.log().find("[WARN  dbus-proxy-daemon (" +
                                std::to_string(daemon.process().pid()) +
                                ")] [CLIENT:]Access policy refused a call from " + self +
                                " to org.example.Hidden, member Play\n"),
              std::string::npos)
        << daemon.log();

    // The bus's list, less what the client may not see.
    const std::vector<std::string> names = list_names(client);
    EXPECT_TRUE(contains(names, "org.example.Allowed"));
    EXPECT_TRUE(contains(names, "org.freedesktop.DBus"));
    EXPECT_TRUE(contains(names, self));
    EXPECT_TRUE(contains(names, allowed.unique_name()));
    EXPECT_FALSE(contains(names, "org.example.Hidden"));
    EXPECT_FALSE(contains(names, hidden.unique_name()));

    std::string error;
    MessagePtr owner = driver_call(client, "GetNameOwner", "org.example.Allowed", &error);
    ASSERT_TRUE(owner) << error;
    const char *unique = nullptr;
    ASSERT_TRUE(
        dbus_message_get_args(owner.get(), nullptr, DBUS_TYPE_STRING, &unique, DBUS_TYPE_INVALID));
    EXPECT_EQ(unique, allowed.unique_name());
    // An invisible name is answered as a missing one.
    EXPECT_EQ(driver_error(client, "GetNameOwner", "org.example.Hidden"),
              DBUS_ERROR_NAME_HAS_NO_OWNER);
    EXPECT_EQ(driver_error(client, "GetConnectionUnixProcessID", hidden.unique_name().c_str()),
              DBUS_ERROR_NAME_HAS_NO_OWNER);
    MessagePtr has = driver_call(client, "NameHasOwner", "org.example.Hidden", &error);
    ASSERT_TRUE(has) << error;
    dbus_bool_t answer = TRUE;
    ASSERT_TRUE(
        dbus_message_get_args(has.get(), nullptr, DBUS_TYPE_BOOLEAN, &answer, DBUS_TYPE_INVALID));
    EXPECT_FALSE(answer);
    // Visible without an owner: the bus answers.
    EXPECT_EQ(driver_error(client, "GetNameOwner", "org.example.Seen"),
              DBUS_ERROR_NAME_HAS_NO_OWNER);
    EXPECT_EQ(outcome(client, "org.example.Seen"), DBUS_ERROR_ACCESS_DENIED);

    // Owning: the name itself and its namespaced form, nothing else.
    DBusError err;
    dbus_error_init(&err);
    EXPECT_EQ(dbus_bus_request_name(client.conn(), "org.example.App", 0, &err),
              DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
    EXPECT_EQ(dbus_bus_request_name(client.conn(), "org.example.App.docker", 0, &err),
              DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
    // Talking to a name is no right to own it, nor its namespaced form.
    for (const char *name : {"org.example.Allowed.Fake", "org.example.Allowed",
                             "org.example.Allowed.docker"}) {
        EXPECT_EQ(dbus_bus_request_name(client.conn(), name, 0, &err), -1) << name;
        EXPECT_STREQ(err.name, DBUS_ERROR_ACCESS_DENIED) << name;
        dbus_error_free(&err);
    }
    EXPECT_EQ(driver_error(client, "ReleaseName", "org.example.Hidden"), DBUS_ERROR_ACCESS_DENIED);

    // No monitoring, no eavesdropping, no changes to the bus.
    EXPECT_EQ(driver_error(client, "BecomeMonitor", nullptr), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(driver_error(client, "UpdateActivationEnvironment", nullptr),
              DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(driver_error(client, "AddMatch", "type='method_call',eavesdrop=true"),
              DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(driver_error(client, "AddMatch", "type='signal'"), "ok");
    // Refusals and stand-in answers come from the bus, as its own answers do.
    struct StandIn {
        const char *destination, *member, *arg, *error; // null error: a return
    };
    for (const StandIn &c : {StandIn{"org.example.Hidden", "Play", nullptr, DBUS_ERROR_ACCESS_DENIED},
                             StandIn{DBUS_SERVICE_DBUS, "BecomeMonitor", nullptr,
                                     DBUS_ERROR_ACCESS_DENIED},
                             StandIn{DBUS_SERVICE_DBUS, "GetNameOwner", "org.example.Hidden",
                                     DBUS_ERROR_NAME_HAS_NO_OWNER},
                             StandIn{DBUS_SERVICE_DBUS, "NameHasOwner", "org.example.Hidden", nullptr},
                             StandIn{DBUS_SERVICE_DBUS, "StartServiceByName", "org.example.Hidden",
                                     DBUS_ERROR_SERVICE_UNKNOWN}}) {
        MessagePtr call(dbus_message_new_method_call(c.destination, DBUS_PATH_DBUS,
                                                     DBUS_INTERFACE_DBUS, c.member));
        if (c.arg)
            dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &c.arg, DBUS_TYPE_INVALID);
        MessagePtr reply = answer_to(client, call);
        ASSERT_TRUE(reply) << c.member;
        EXPECT_STREQ(dbus_message_get_sender(reply.get()), DBUS_SERVICE_DBUS) << c.member;
        EXPECT_STREQ(dbus_message_get_error_name(reply.get()), c.error) << c.member;
    }

    // A burst of refusals: at most ten lines a second. Started at the top of
    // a second of the clock the daemon counts by, so it spans one or two.
    auto monotonic_second = [] {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return now;
    };
    std::this_thread::sleep_for(std::chrono::nanoseconds(1000000000 - monotonic_second().tv_nsec));
    const long first_second = monotonic_second().tv_sec;
    const std::string refused = "Access policy refused a call from";
    const size_t lines_before = count_of(daemon.log(), refused);
    std::vector<dbus_uint32_t> burst(50);
    for (dbus_uint32_t &serial : burst) {
        MessagePtr call(dbus_message_new_method_call("org.example.Hidden", "/player",
                                                     "org.example.Player", "Play"));
        dbus_connection_send(client.conn(), call.get(), &serial);
    }
    dbus_connection_flush(client.conn());
    size_t denied = 0;
    ASSERT_TRUE(client.wait_message([&](DBusMessage *m) {
        denied += dbus_message_is_error(m, DBUS_ERROR_ACCESS_DENIED) &&
                  dbus_message_get_reply_serial(m) >= burst.front();
        return denied == burst.size();
    }));
    const long seconds = monotonic_second().tv_sec - first_second + 1;
    const size_t lines = count_of(daemon.log(), refused) - lines_before;
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, size_t(10 * seconds)) << seconds << " second(s)";
    EXPECT_EQ(driver_error(client, "GetId", nullptr), "ok");
    MessagePtr introspect(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                       DBUS_INTERFACE_INTROSPECTABLE,
                                                       "Introspect"));
    EXPECT_TRUE(client.call(introspect));

    // A peer that gave up its talkable name is any other peer again.
    ASSERT_EQ(dbus_bus_release_name(allowed.conn(), "org.example.Allowed", nullptr),
              DBUS_RELEASE_NAME_REPLY_RELEASED);
    EXPECT_TRUE(wait_until(
        [&] { return outcome(client, allowed.unique_name()) == DBUS_ERROR_ACCESS_DENIED; }));
    // Still connected, but no longer an owner of anything the client sees.
    EXPECT_FALSE(contains(list_names(client), allowed.unique_name()));
    MessagePtr still(driver_call(client, "NameHasOwner", allowed.unique_name().c_str(), &error));
    ASSERT_TRUE(still) << error;
    answer = TRUE;
    ASSERT_TRUE(
        dbus_message_get_args(still.get(), nullptr, DBUS_TYPE_BOOLEAN, &answer, DBUS_TYPE_INVALID));
    EXPECT_FALSE(answer);
    emit(allowed.conn(), "AfterRelease");
    emit(hidden.conn(), "NotHeard");
    MessagePtr to_client(dbus_message_new_signal("/sig", "org.example.Sig", "ToClient"));
    dbus_message_set_destination(to_client.get(), self.c_str());
    dbus_connection_send(hidden.conn(), to_client.get(), nullptr);
    dbus_connection_flush(hidden.conn());
    // Broadcasts are judged by the sender's rights; a signal addressed to
    // the client comes from anyone, as a call would.
    MessagePtr m = client.wait_message(is_sig);
    ASSERT_TRUE(m);
    EXPECT_STREQ(dbus_message_get_member(m.get()), "ToClient");
}

TEST_F(PolicyTest, ActivatableNamesAreListedAsFarAsVisible)
{
    // A bus that can start two services: one the client may see.
    bus.stop();
    const std::string services = dir.file("services");
    mkdir(services.c_str(), 0700);
    for (const char *name : {"org.example.Startable", "org.example.Secret"})
        write_file(services + "/" + name + ".service",
                   std::string("[D-BUS Service]\nName=") + name + "\nExec=/bin/false\n");
    bus.extra_config = "  <servicedir>" + services + "</servicedir>\n";
    ASSERT_TRUE(bus.start());
    start_all({"--see=org.example.Startable"});
    std::string error;
    MessagePtr reply = driver_call(client, "ListActivatableNames", nullptr, &error);
    ASSERT_TRUE(reply) << error;
    EXPECT_TRUE(list_shows(reply.get(), "org.example.Startable"));
    EXPECT_TRUE(list_shows(reply.get(), "org.freedesktop.DBus"));
    EXPECT_FALSE(list_shows(reply.get(), "org.example.Secret"));
}

TEST_F(PolicyTest, SignalsPassOnlyFromNamesTheClientMayHear)
{
    start_all({"--talk=org.example.Late", "--see=org.example.Watched",
               "--broadcast=org.example.Hidden=org.example.Sig.Heard@/*"});
    add_match(client, "type='signal',interface='org.example.Sig'");

    // A visible name appears: the daemon's own watch must not hand the
    // client ownership changes it never asked for.
    Peer watched;
    ASSERT_TRUE(watched.start(bus.address(), {"org.example.Watched"}, echo_handler));
    emit(hidden.conn(), "Unheard");
    emit(hidden.conn(), "Heard");
    emit(allowed.conn(), "FromAllowed");
    for (const char *expected : {"Heard", "FromAllowed"}) {
        MessagePtr m = client.wait_message([](DBusMessage *m) {
            return dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_SIGNAL &&
                   !dbus_message_get_destination(m);
        });
        ASSERT_TRUE(m) << expected;
        EXPECT_TRUE(is_sig(m.get())) << dbus_message_get_member(m.get());
        EXPECT_STREQ(dbus_message_get_member(m.get()), expected);
    }

    // Ownership changes the client asked for, of visible names only; a
    // talkable name that appears later is heard.
    add_match(client, "type='signal',member='NameOwnerChanged'");
    Peer secret, late;
    ASSERT_TRUE(secret.start(bus.address(), {"org.example.Secret"}, echo_handler));
    ASSERT_TRUE(late.start(bus.address(), {"org.example.Late"}, echo_handler));
    MessagePtr change = client.wait_message([](DBusMessage *m) {
        const char *name = nullptr;
        return dbus_message_is_signal(m, DBUS_INTERFACE_DBUS, "NameOwnerChanged") &&
               dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID) &&
               name[0] != ':';
    });
    ASSERT_TRUE(change);
    const char *name = nullptr;
    dbus_message_get_args(change.get(), nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    EXPECT_STREQ(name, "org.example.Late");
    // A peer the client cannot see comes and goes unnoticed.
    secret.stop();
    emit(late.conn(), "FromLate");
    MessagePtr m = client.wait_message([](DBusMessage *m) {
        return dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_SIGNAL &&
               !dbus_message_get_destination(m);
    });
    ASSERT_TRUE(m);
    EXPECT_TRUE(is_sig(m.get())) << dbus_message_get_member(m.get()) << " "
                                 << dbus_message_get_sender(m.get());
}

TEST_F(PolicyTest, HostProgramsReachTheClientAndMayBeCalledBack)
{
    start_all({});
    client.close();
    // The application inside the container, serving an object.
    Peer app;
    std::atomic<int> served{0};
    ASSERT_TRUE(app.start(daemon.address(), {}, [&](DBusConnection *c, DBusMessage *m) {
        ++served;
        return echo_handler(c, m);
    }));
    // A host program the policy does not name.
    Client host;
    ASSERT_TRUE(host.open(bus.address()));

    auto app_calls = [&](const char *member) {
        MessagePtr call(
            dbus_message_new_method_call(host.unique_name(), "/host", "org.example.Host", member));
        dbus_connection_send(app.conn(), call.get(), nullptr);
        dbus_connection_flush(app.conn());
    };
    // Not yet: the host has not called the application. The daemon judges
    // the call before the GetId behind it is answered, so before the host's
    // call below.
    app_calls("TooEarly");
    MessagePtr pong(dbus_connection_send_with_reply_and_block(app.conn(), bus_call("GetId").get(),
                                                              5000, nullptr));
    ASSERT_TRUE(pong);
    EXPECT_EQ(outcome(host, app.unique_name(), "Activate", "org.example.App", "/app"),
              app.unique_name());
    EXPECT_EQ(served, 1);
    app_calls("CallBack");
    MessagePtr back = host.wait_message(
        [](DBusMessage *m) { return dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL; });
    ASSERT_TRUE(back);
    EXPECT_STREQ(dbus_message_get_member(back.get()), "CallBack");

    // A service the client called may call the client back.
    MessagePtr call(dbus_message_new_method_call(app.unique_name().c_str(), "/app",
                                                 "org.example.App", "Notify"));
    MessagePtr reply;
    {
        Client allowed_side;
        ASSERT_TRUE(allowed_side.open(bus.address()));
        reply = allowed_side.call(call);
    }
    ASSERT_TRUE(reply);
    EXPECT_EQ(served, 2);

    // Two callers whose names share a prefix (":1.6", ":1.60"): the first
    // leaves before the client answers; the second still gets its answer.
    auto first = std::make_unique<Client>();
    ASSERT_TRUE(first->open(bus.address()));
    const std::string prefix = first->unique_name();
    std::unique_ptr<Client> second;
    for (int i = 0; i < 500 && !second; ++i) {
        auto next = std::make_unique<Client>();
        ASSERT_TRUE(next->open(bus.address()));
        const std::string name = next->unique_name();
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
            second = std::move(next);
    }
    ASSERT_TRUE(second);
    Client callee;
    ASSERT_TRUE(callee.open(daemon.address()));
    round_trip(callee);
    dbus_uint32_t asked = 0;
    for (Client *caller : {first.get(), second.get()}) {
        MessagePtr ask(dbus_message_new_method_call(callee.unique_name(), "/c", "org.example.C",
                                                    "Ask"));
        dbus_connection_send(caller->conn(), ask.get(), &asked);
        dbus_connection_flush(caller->conn());
    }
    std::vector<MessagePtr> calls;
    ASSERT_TRUE(callee.wait_message([&](DBusMessage *m) {
        if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL)
            calls.emplace_back(dbus_message_ref(m));
        return calls.size() == 2;
    }));
    first.reset();
    // The daemon has seen it leave once the client may no longer call it.
    ASSERT_TRUE(wait_until([&] { return outcome(callee, prefix) == DBUS_ERROR_ACCESS_DENIED; }));
    send_raw(callee, MessagePtr(dbus_message_new_method_return(calls[1].get())));
    EXPECT_TRUE(second->wait_message(answers(asked)));
}

TEST_F(PolicyTest, PanelRepliesAreStillAdapted)
{
    start_unix({"--filter"});
    Peer item;
    ASSERT_TRUE(item.start(daemon.address(), {}, [](DBusConnection *, DBusMessage *m) {
        DBusMessage *reply = dbus_message_new_method_return(m);
        DictWriter(reply).str("IconName", "/usr/share/icons/app.png").close();
        return reply;
    }));
    Process panel;
    const std::string out = dir.file("panel.out");
    ASSERT_TRUE(panel.start({"/usr/bin/osra-panel", bus.address(), item.unique_name(), "1"}, {},
                            out, dir.file("panel.err"), DPD_FAKE_PANEL_PATH));
    const int status = panel.wait_exit(std::chrono::milliseconds(30000));
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << read_file(dir.file("panel.err"));
    EXPECT_EQ(read_file(out), "IconName=s:/opt/tolm/usr/share/icons/app.png\n");
}

TEST_F(PolicyTest, TalkingToAPlainNameReachesItsNamespacedInstance)
{
    write_file(daemon.activation_list("dbus-sess-proxy.list"),
               "org.example.Player=org.example.Player.docker\n"
               "org.example.Other=org.example.Other.docker\n");
    Peer namespaced, other;
    ASSERT_TRUE(namespaced.start(bus.address(), {"org.example.Player.docker"}, echo_handler));
    ASSERT_TRUE(other.start(bus.address(), {"org.example.Other.docker"}, echo_handler));
    start_unix({"--filter", "--talk=org.example.Player"});
    ASSERT_TRUE(client.open(daemon.address()));

    // Running before the client came: heard, and called by its unique name,
    // without the client asking who owns what.
    add_match(client, "type='signal',interface='org.example.Sig'");
    std::string by_unique_name;
    EXPECT_TRUE(wait_until([&] {
        by_unique_name = outcome(client, namespaced.unique_name());
        return by_unique_name == namespaced.unique_name();
    })) << by_unique_name;
    emit(other.conn(), "Unheard");
    emit(namespaced.conn(), "FromNamespaced");
    MessagePtr heard = client.wait_message(is_sig);
    ASSERT_TRUE(heard);
    EXPECT_STREQ(dbus_message_get_member(heard.get()), "FromNamespaced");

    EXPECT_EQ(outcome(client, "org.example.Player"), namespaced.unique_name());
    EXPECT_EQ(outcome(client, "org.example.Player.docker"), namespaced.unique_name());
    // Decided on the name the client wrote: no rule for it, no call.
    EXPECT_EQ(outcome(client, "org.example.Other"), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_TRUE(contains(list_names(client), "org.example.Player.docker"));
    EXPECT_FALSE(contains(list_names(client), "org.example.Other.docker"));
}

TEST_F(PolicyTest, ClientLibrariesWorkUnderTheFilter)
{
    start_all({});
    TempDir home; // the clients' own, never the daemon's
    const std::vector<std::string> env = {"HOME=" + home.path()};
    auto gdbus = [&](const char *destination, std::string *out, std::string *err) {
        return run_command({"gdbus", "call", "--address", daemon.address(), "--dest", destination,
                            "--object-path", "/player", "--method", "org.example.Player.Play",
                            "song"},
                           env, out, err);
    };
    std::string out, err;
    EXPECT_EQ(gdbus("org.example.Allowed", &out, &err), 0) << err;
    EXPECT_EQ(out, "('song',)\n");
    EXPECT_NE(gdbus("org.example.Hidden", &out, &err), 0);
    EXPECT_NE(err.find("AccessDenied"), std::string::npos) << err;

    EXPECT_EQ(run_command({"busctl", "--address=" + daemon.address(), "call",
                           "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", "s", "org.example.Hidden"},
                          env, &out, &err),
              0)
        << err;
    EXPECT_EQ(out, "b false\n");
}

TEST_F(PolicyTest, PrefixRulesCoverServicesAlreadyRunning)
{
    Peer early;
    ASSERT_TRUE(early.start(bus.address(), {"org.example.prefix.Early"}, echo_handler));
    start_all({"--talk=org.example.prefix.*"});
    EXPECT_EQ(outcome(client, "org.example.prefix.Early"), early.unique_name());
    // Its unique name is learnt from the bus's list, asked for when the
    // client arrived; the answers may still be on their way.
    std::string by_unique_name;
    EXPECT_TRUE(wait_until([&] {
        by_unique_name = outcome(client, early.unique_name());
        return by_unique_name == early.unique_name();
    })) << by_unique_name;
    // As a client library does before it subscribes.
    EXPECT_EQ(driver_error(client, "GetNameOwner", "org.example.prefix.Early"), "ok");
    add_match(client, "type='signal',interface='org.example.Sig'");
    emit(hidden.conn(), "Unheard");
    emit(early.conn(), "FromEarly");
    MessagePtr m = client.wait_message(is_sig);
    ASSERT_TRUE(m);
    EXPECT_STREQ(dbus_message_get_member(m.get()), "FromEarly");
}

// A filtered client as an attacker writes it: its own serials, reply
// serials, destinations and flags.
namespace {

MessagePtr forged_answer(int type, const std::string &destination, uint32_t reply_serial)
{
    MessagePtr m(dbus_message_new(type));
    dbus_message_set_destination(m.get(), destination.c_str());
    dbus_message_set_reply_serial(m.get(), reply_serial);
    if (type == DBUS_MESSAGE_TYPE_ERROR)
        dbus_message_set_error_name(m.get(), "org.example.Forged");
    const char *text = "forged";
    dbus_message_append_args(m.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    return m;
}

bool list_shows(DBusMessage *reply, const std::string &name)
{
    char **array = nullptr;
    int n = 0;
    if (!dbus_message_get_args(reply, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &array, &n,
                               DBUS_TYPE_INVALID))
        return false;
    const bool found = std::find(array, array + n, name) != array + n;
    dbus_free_string_array(array);
    return found;
}

} // namespace

TEST_F(PolicyTest, HostileClientCannotAnswerOrSignalForOthers)
{
    std::atomic<int> hidden_heard{0};
    hidden.observer = [&](DBusMessage *m) {
        if (dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_SIGNAL &&
            dbus_message_has_member(m, "Sneak"))
            ++hidden_heard;
    };
    std::atomic<int> allowed_heard{0};
    allowed.observer = [&](DBusMessage *m) {
        allowed_heard += dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_SIGNAL &&
                         dbus_message_has_member(m, "Sneak");
    };
    // A service the client may see but not talk to.
    Peer seen_only;
    std::atomic<int> seen_heard{0};
    seen_only.observer = [&](DBusMessage *m) {
        seen_heard += dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_SIGNAL &&
                      dbus_message_has_member(m, "Sneak");
    };
    ASSERT_TRUE(seen_only.start(bus.address(), {"org.example.Seen"}, echo_handler));
    start_all({"--verbose", "1", "--see=org.example.Seen"});
    // Known as the owner of a visible name before anything is sent to it.
    ASSERT_TRUE(wait_until([&] { return contains(list_names(client), seen_only.unique_name()); }));
    Peer slow; // a hidden service that takes its time
    ASSERT_TRUE(slow.start(bus.address(), {"org.example.Slow"},
                           [](DBusConnection *, DBusMessage *) { return nullptr; }));
    Client host;
    ASSERT_TRUE(host.open(bus.address()));

    // The host waits on the hidden service; the client answers in its place.
    MessagePtr wait(dbus_message_new_method_call("org.example.Slow", "/s", "org.example.S", "Get"));
    dbus_uint32_t waited = 0;
    dbus_connection_send(host.conn(), wait.get(), &waited);
    dbus_connection_flush(host.conn());
    round_trip(client);
    for (int type : {DBUS_MESSAGE_TYPE_METHOD_RETURN, DBUS_MESSAGE_TYPE_ERROR})
        send_raw(client, forged_answer(type, host.unique_name(), waited));
    // Signals to peers it may not talk to, by either of their names.
    for (const std::string &to : {std::string("org.example.Hidden"), hidden.unique_name(),
                                  std::string("org.example.Seen"), seen_only.unique_name()}) {
        MessagePtr sneak(dbus_message_new_signal("/s", "org.example.Sig", "Sneak"));
        dbus_message_set_destination(sneak.get(), to.c_str());
        send_raw(client, sneak);
    }

    // Now the host calls the client, which answers twice: once goes.
    MessagePtr ask(dbus_message_new_method_call(client.unique_name(), "/c", "org.example.C", "Ask"));
    dbus_uint32_t asked = 0;
    dbus_connection_send(host.conn(), ask.get(), &asked);
    dbus_connection_flush(host.conn());
    MessagePtr call = client.wait_message(
        [](DBusMessage *m) { return dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL; });
    ASSERT_TRUE(call);
    for (int i = 0; i < 2; ++i)
        send_raw(client, MessagePtr(dbus_message_new_method_return(call.get())));
    round_trip(client);
    MessagePtr ping(dbus_message_new_method_call(client.unique_name(), "/c", "org.example.C", "Ask"));
    dbus_connection_send(host.conn(), ping.get(), nullptr);
    dbus_connection_flush(host.conn());
    MessagePtr again = client.wait_message(
        [](DBusMessage *m) { return dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL; });
    ASSERT_TRUE(again);
    send_raw(client, MessagePtr(dbus_message_new_method_return(again.get())));

    // In the order sent: forged answers would come first, the duplicate
    // before the last answer.
    std::vector<uint32_t> seen;
    ASSERT_TRUE(host.wait_message([&](DBusMessage *m) {
        if (dbus_message_get_reply_serial(m))
            seen.push_back(dbus_message_get_reply_serial(m));
        return dbus_message_get_reply_serial(m) == asked + 1;
    }));
    EXPECT_EQ(seen, (std::vector<uint32_t>{asked, asked + 1}));

    MessagePtr sync(dbus_connection_send_with_reply_and_block(hidden.conn(),
                                                              bus_call("GetId").get(), 5000,
                                                              nullptr));
    EXPECT_FALSE(wait_until([&] { return hidden_heard + seen_heard > 0; }, 300ms));
    EXPECT_NE(daemon.log().find("[CLIENT:]Access policy dropped method_return from"),
              std::string::npos)
        << daemon.log();
    // A talkable service may be signalled.
    MessagePtr to_allowed(dbus_message_new_signal("/s", "org.example.Sig", "Sneak"));
    dbus_message_set_destination(to_allowed.get(), "org.example.Allowed");
    send_raw(client, to_allowed);
    EXPECT_TRUE(wait_until([&] { return allowed_heard > 0; }));
}

TEST_F(PolicyTest, HostileClientCannotEavesdropOrPlaySerialTricks)
{
    start_all({"--talk=org.example.Late"});
    Client host;
    ASSERT_TRUE(host.open(bus.address()));

    // Rules the bus reads as eavesdropping, however spelt, are refused; rules
    // too long for the bus or unreadable get the bus's own answer.
    for (const std::string &rule : std::vector<std::string>{
             "type='method_call',eavesdrop\n='true'", "type='method_call',eavesdrop\r\n=true",
             "eavesdrop\t=true", "eavesdrop='false',eavesdrop='true'"})
        EXPECT_EQ(driver_error(client, "AddMatch", rule.c_str()), DBUS_ERROR_ACCESS_DENIED)
            << rule;
    for (const std::string &rule : std::vector<std::string>{
             "eavesdrop\t=\ttrue", "eavesdrop=tru\\e", "type='method_call',=,eavesdrop=true"})
        EXPECT_EQ(driver_error(client, "AddMatch", rule.c_str()), DBUS_ERROR_MATCH_RULE_INVALID)
            << rule;
    EXPECT_EQ(driver_error(client, "AddMatch",
                           ("type='method_call',arg0='" + std::string(1100, 'x') + "'").c_str()),
              DBUS_ERROR_LIMITS_EXCEEDED);
    add_match(client, "type='signal',interface='org.example.Sig'");
    // The host calls the hidden service; nothing of it reaches the client.
    MessagePtr secret(dbus_message_new_method_call("org.example.Hidden", "/h", "org.example.H",
                                                   "Secret"));
    ASSERT_TRUE(host.call(secret));
    emit(allowed.conn(), "Sync");
    bool overheard = false;
    ASSERT_TRUE(client.wait_message([&](DBusMessage *m) {
        overheard |= dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL;
        return is_sig(m);
    }));
    EXPECT_FALSE(overheard);
    EXPECT_EQ(outcome(client, host.unique_name()), DBUS_ERROR_ACCESS_DENIED);

    // Serials of the client's choosing: a list asked for with no reply
    // expected, a serial used twice, a service error under a list's serial.
    MessagePtr quiet = bus_call("ListNames");
    dbus_message_set_no_reply(quiet.get(), TRUE);
    send_raw(client, quiet, 50);
    MessagePtr list = client.wait_message(answers(50));
    ASSERT_TRUE(list);
    EXPECT_FALSE(list_shows(list.get(), "org.example.Hidden"));

    // The owner's answer must not use up the list's record: the list is
    // refused while the serial is taken, or tracked once it is free again.
    MessagePtr owner = bus_call("GetNameOwner");
    const char *allowed_name = "org.example.Allowed";
    dbus_message_append_args(owner.get(), DBUS_TYPE_STRING, &allowed_name, DBUS_TYPE_INVALID);
    send_raw(client, owner, 60);
    send_raw(client, bus_call("ListNames"), 60);
    send_raw(client, MessagePtr(dbus_message_new_method_call("org.example.Late", "/l",
                                                             "org.example.L", "Get")),
             70);
    send_raw(client, bus_call("ListNames"), 70);
    int replies = 0, lists = 0;
    ASSERT_TRUE(client.wait_message([&](DBusMessage *m) {
        const uint32_t to = dbus_message_get_reply_serial(m);
        if (to != 60 && to != 70)
            return false;
        ++replies;
        if (dbus_message_has_signature(m, "as")) {
            ++lists;
            EXPECT_FALSE(list_shows(m, "org.example.Hidden")) << to;
        }
        return replies == 4;
    }));
    EXPECT_GE(lists, 1);

    // Acknowledgements the client asked not to have never come.
    dbus_uint32_t quiet_serial = 80;
    for (const char *member : {"AddMatch", "RemoveMatch", "Ping"}) {
        MessagePtr call(dbus_message_new_method_call(
            DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
            std::strcmp(member, "Ping") == 0 ? DBUS_INTERFACE_PEER : DBUS_INTERFACE_DBUS, member));
        const char *rule = "type='signal',interface='org.example.Quiet'";
        if (std::strcmp(member, "Ping") != 0)
            dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &rule, DBUS_TYPE_INVALID);
        dbus_message_set_no_reply(call.get(), TRUE);
        send_raw(client, call, quiet_serial++);
    }
    send_raw(client, bus_call("GetId"), 90);
    bool acknowledged = false;
    ASSERT_TRUE(client.wait_message([&](DBusMessage *m) {
        const uint32_t to = dbus_message_get_reply_serial(m);
        acknowledged |= to >= 80 && to < quiet_serial;
        return to == 90;
    }));
    EXPECT_FALSE(acknowledged);
}

TEST_F(PolicyTest, GrantsEndWithTheBusThatHandedOutTheirNames)
{
    // Well into the bus's numbering, so that a restarted bus hands the
    // talkable service's name out again.
    std::vector<std::unique_ptr<Client>> spare;
    auto connect_direct = [&] {
        spare.push_back(std::make_unique<Client>());
        EXPECT_TRUE(spare.back()->open(bus.address()));
        return std::stoul(std::string(spare.back()->unique_name()).substr(3));
    };
    for (int i = 0; i < 8; ++i)
        connect_direct();
    start_all({});
    ASSERT_TRUE(wait_until([&] { return outcome(client, allowed.unique_name()) == allowed.unique_name(); }));
    const std::string former = allowed.unique_name();

    // Gone with the bus, which says no goodbyes: no owner change tells of it.
    client.close();
    ASSERT_TRUE(bus.signal(SIGKILL));
    bus.stop();
    spare.clear();
    allowed.stop();
    hidden.stop();
    ASSERT_TRUE(bus.start());
    ASSERT_TRUE(wait_until([&] { return client.open(daemon.address()); }));
    round_trip(client);
    const unsigned long wanted = std::stoul(former.substr(3));
    while (connect_direct() + 1 < wanted) {
    }
    Peer newcomer; // a peer with no name, under the former owner's unique name
    ASSERT_TRUE(newcomer.start(bus.address(), {}, echo_handler));
    if (newcomer.unique_name() != former)
        GTEST_SKIP() << "the new bus numbers names differently: " << newcomer.unique_name();
    EXPECT_EQ(outcome(client, former), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_FALSE(contains(list_names(client), former));
}

TEST_F(PolicyTest, OwnerChangesAreJudgedUnderTheNameTheClientSees)
{
    write_file(daemon.activation_list("dbus-sess-proxy.list"),
               "org.example.Player=org.example.Player.docker\n");
    start_unix({"--filter", "--namespace-lookups", "--talk=org.example.Player"});
    ASSERT_TRUE(client.open(daemon.address()));
    // As GDBusProxy watches its service: by the plain name.
    add_match(client, "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',"
                      "arg0='org.example.Player'");
    Peer player;
    ASSERT_TRUE(player.start(bus.address(), {"org.example.Player.docker"}, echo_handler));
    MessagePtr change = client.wait_message(
        [](DBusMessage *m) { return dbus_message_is_signal(m, DBUS_INTERFACE_DBUS, "NameOwnerChanged"); });
    ASSERT_TRUE(change);
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    ASSERT_TRUE(dbus_message_get_args(change.get(), nullptr, DBUS_TYPE_STRING, &name,
                                      DBUS_TYPE_STRING, &old_owner, DBUS_TYPE_STRING, &new_owner,
                                      DBUS_TYPE_INVALID));
    EXPECT_STREQ(name, "org.example.Player");
    EXPECT_EQ(new_owner, player.unique_name());
}

TEST_F(PolicyTest, ManyNamesUnderARuleCostTheClientsNothing)
{
    bus.stop();
    bus.extra_config = "  <limit name=\"max_names_per_connection\">30000</limit>\n";
    ASSERT_TRUE(bus.start());
    Client owner;
    ASSERT_TRUE(owner.open(bus.address()));
    MessagePtr last;
    std::string error;
    for (int i = 0; i < 20000; ++i) {
        const std::string name = "org.example.many.n" + std::to_string(i);
        const char *arg = name.c_str();
        dbus_uint32_t flags = 0;
        MessagePtr request = bus_call("RequestName");
        dbus_message_append_args(request.get(), DBUS_TYPE_STRING, &arg, DBUS_TYPE_UINT32, &flags,
                                 DBUS_TYPE_INVALID);
        if (i + 1 < 20000)
            dbus_connection_send(owner.conn(), request.get(), nullptr);
        else
            last = owner.call(request, 30000, &error);
    }
    ASSERT_TRUE(last) << error;
    start_unix({"--filter", "--see=org.example.many.*"});
    ASSERT_TRUE(client.open(daemon.address()));
    // Until the daemon has learnt the owners once, for all clients.
    long settled = daemon.rss_kib();
    for (int quiet = 0; quiet < 5; ++quiet) {
        std::this_thread::sleep_for(100ms);
        const long now = daemon.rss_kib();
        if (now != settled)
            quiet = -1;
        settled = now;
    }
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 60; ++i) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_TRUE(clients.back()->open(daemon.address()));
        round_trip(*clients.back());
    }
    const long per_client = (daemon.rss_kib() - settled) / 60;
    // A client's connection costs libdbus tens of KiB; owners learnt per
    // client cost megabytes each.
    EXPECT_LT(per_client, 256) << per_client << " KiB";
    EXPECT_EQ(driver_error(*clients.back(), "GetConnectionUnixUser", owner.unique_name()), "ok");
}
