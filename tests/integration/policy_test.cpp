// The access policy (--filter) against a real host bus: one host service
// the client may talk to, one it may not.
#include "fixture.h"
#include "property_dict.h"

#include <sys/wait.h>

#include <algorithm>
#include <atomic>

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
    EXPECT_EQ(dbus_bus_request_name(client.conn(), "org.example.Allowed.Fake", 0, &err), -1);
    EXPECT_STREQ(err.name, DBUS_ERROR_ACCESS_DENIED);
    dbus_error_free(&err);
    EXPECT_EQ(driver_error(client, "ReleaseName", "org.example.Hidden"), DBUS_ERROR_ACCESS_DENIED);

    // No monitoring, no eavesdropping, no changes to the bus.
    EXPECT_EQ(driver_error(client, "BecomeMonitor", nullptr), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(driver_error(client, "UpdateActivationEnvironment", nullptr),
              DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(driver_error(client, "AddMatch", "type='method_call',eavesdrop=true"),
              DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(driver_error(client, "AddMatch", "type='signal'"), "ok");
    EXPECT_EQ(driver_error(client, "GetId", nullptr), "ok");
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
