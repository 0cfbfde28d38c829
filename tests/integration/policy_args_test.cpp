// Rules with conditions on arguments, against a real bus: a service with a
// public and a private interface at one path, whose properties a client may
// read only of the public one; and the audit that writes such rules.
#include "fixture.h"
#include "util/message.h"

#include <cstring>
#include <functional>
#include <mutex>
#include <utility>

using namespace harness;

namespace {

constexpr const char *SVC = "org.example.Svc";
constexpr const char *OBJ = "/org/example/Obj";
constexpr const char *PROPS = DBUS_INTERFACE_PROPERTIES;
constexpr const char *PUBLIC = "org.example.Public";
constexpr const char *PRIVATE = "org.example.Private";

const std::string GET_PUBLIC =
    "--call=org.example.Svc=org.freedesktop.DBus.Properties.Get@/org/example/Obj"
    "(arg0=org.example.Public)";
const std::string GETALL_PUBLIC =
    "--call=org.example.Svc=org.freedesktop.DBus.Properties.GetAll@/org/example/Obj"
    "(arg0=org.example.Public)";

// Appends the arguments of one Properties call as a client might write them.
using Append = void (*)(DBusMessageIter *);

void put(DBusMessageIter *it, const char *s)
{
    dbus_message_iter_append_basic(it, DBUS_TYPE_STRING, &s);
}

void put_variant(DBusMessageIter *it, const char *s)
{
    DBusMessageIter v;
    dbus_message_iter_open_container(it, DBUS_TYPE_VARIANT, "s", &v);
    dbus_message_iter_append_basic(&v, DBUS_TYPE_STRING, &s);
    dbus_message_iter_close_container(it, &v);
}

// The service: records which calls reached it ("Member arg0", arg0 "-" when
// it is no string) and answers each.
struct Service {
    Peer peer;
    std::mutex mutex;
    std::vector<std::string> received;

    bool start(const std::string &address)
    {
        return peer.start(address, {SVC}, [this](DBusConnection *, DBusMessage *call) {
            const char *arg0 = nullptr;
            DBusMessageIter it;
            if (dbus_message_iter_init(call, &it) &&
                dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_STRING)
                dbus_message_iter_get_basic(&it, &arg0);
            {
                std::lock_guard<std::mutex> lock(mutex);
                received.push_back(std::string(dbus_message_get_member(call)) + " " +
                                   (arg0 ? arg0 : "-"));
            }
            return dbus_message_new_method_return(call);
        });
    }
    std::vector<std::string> taken()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(received, {});
    }
    void changed(const char *interface, const char *path = OBJ)
    {
        MessagePtr s(dbus_message_new_signal(path, PROPS, "PropertiesChanged"));
        DBusMessageIter it, dict, list;
        dbus_message_iter_init_append(s.get(), &it);
        if (interface)
            put(&it, interface);
        dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{sv}", &dict);
        dbus_message_iter_close_container(&it, &dict);
        dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "s", &list);
        dbus_message_iter_close_container(&it, &list);
        send(s);
    }
    void send(const MessagePtr &signal)
    {
        dbus_connection_send(peer.conn(), signal.get(), nullptr);
        dbus_connection_flush(peer.conn());
    }
};

// One Properties call through `client`: "ok" or the error's name.
std::string props(Client &client, const char *member, const std::function<void(DBusMessageIter *)> &args,
                  const std::string &destination = SVC, const char *path = OBJ)
{
    MessagePtr call(dbus_message_new_method_call(destination.c_str(), path, PROPS, member));
    DBusMessageIter it;
    dbus_message_iter_init_append(call.get(), &it);
    args(&it);
    std::string error;
    return client.call(call, 5000, &error) ? "ok" : error.substr(0, error.find(':'));
}

std::function<void(DBusMessageIter *)> names(std::vector<const char *> values)
{
    return [values](DBusMessageIter *it) {
        for (const char *v : values)
            put(it, v);
    };
}

std::function<void(DBusMessageIter *)> set_args(const char *interface)
{
    return [interface](DBusMessageIter *it) {
        put(it, interface);
        put(it, "Name");
        put_variant(it, "new");
    };
}

void add_match(Client &client, const char *rule)
{
    MessagePtr call = bus_call("AddMatch");
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &rule, DBUS_TYPE_INVALID);
    std::string error;
    ASSERT_TRUE(client.call(call, 5000, &error)) << rule << ": " << error;
}

// The interfaces of the PropertiesChanged signals the client hears until
// the one of `last` arrives ("-" for one without a string arg0).
std::vector<std::string> heard_until(Client &client, const char *last)
{
    std::vector<std::string> heard;
    client.wait_message([&](DBusMessage *m) {
        if (!dbus_message_is_signal(m, PROPS, "PropertiesChanged"))
            return false;
        const char *arg0 = first_string_arg(m);
        heard.push_back(arg0 ? arg0 : "-");
        return arg0 && std::strcmp(arg0, last) == 0;
    });
    return heard;
}

class PolicyArgsTest : public ProxyTest {
protected:
    Service svc;
    Client client;

    void start_with(std::vector<std::string> rules)
    {
        ASSERT_TRUE(svc.start(bus.address()));
        rules.insert(rules.begin(), "--filter");
        start_unix(rules);
        ASSERT_TRUE(client.open(daemon.address()));
    }
};

} // namespace

TEST_F(PolicyArgsTest, PropertiesOfThePublicInterfaceOnly)
{
    start_with({GET_PUBLIC, GETALL_PUBLIC});
    const std::string unique = svc.peer.unique_name();
    const struct {
        const char *what, *member;
        std::function<void(DBusMessageIter *)> args;
        std::string destination;
        const char *path;
        bool passes;
    } cases[] = {
        {"Get of the public interface", "Get", names({PUBLIC, "Name"}), SVC, OBJ, true},
        {"GetAll of the public interface", "GetAll", names({PUBLIC}), SVC, OBJ, true},
        {"the same by the unique name", "Get", names({PUBLIC, "Name"}), unique, OBJ, true},
        {"Get of the private interface", "Get", names({PRIVATE, "Secret"}), SVC, OBJ, false},
        {"GetAll of the private interface", "GetAll", names({PRIVATE}), SVC, OBJ, false},
        {"the private one by the unique name", "GetAll", names({PRIVATE}), unique, OBJ, false},
        {"Set of the public interface", "Set", set_args(PUBLIC), SVC, OBJ, false},
        {"GetAll of every interface", "GetAll", names({""}), SVC, OBJ, false},
        {"the public interface at another path", "Get", names({PUBLIC, "Name"}), SVC, "/org/example",
         false},
        // What an attacker might try for the private interface.
        {"the public name second", "Get", names({PRIVATE, PUBLIC}), SVC, OBJ, false},
        {"no argument", "GetAll", names({}), SVC, OBJ, false},
        {"the name in a variant", "GetAll", [](DBusMessageIter *it) { put_variant(it, PUBLIC); },
         SVC, OBJ, false},
        {"an integer",
         "GetAll",
         [](DBusMessageIter *it) {
             const dbus_int32_t n = 0;
             dbus_message_iter_append_basic(it, DBUS_TYPE_INT32, &n);
         },
         SVC, OBJ, false},
    };
    std::vector<std::string> expected;
    for (const auto &c : cases) {
        EXPECT_EQ(props(client, c.member, c.args, c.destination, c.path),
                  c.passes ? "ok" : DBUS_ERROR_ACCESS_DENIED)
            << c.what;
        if (c.passes)
            expected.push_back(std::string(c.member) + " " + PUBLIC);
    }
    // The service saw the allowed calls, and nothing else.
    EXPECT_EQ(svc.taken(), expected);
}

TEST_F(PolicyArgsTest, SetOnlyWhereARuleAllowsIt)
{
    start_with({GET_PUBLIC,
                "--call=org.example.Svc=org.freedesktop.DBus.Properties.Set@/org/example/Obj"
                "(arg0=org.example.Public,arg1=Name)"});
    EXPECT_EQ(props(client, "Set", set_args(PUBLIC)), "ok");
    EXPECT_EQ(props(client, "Set", set_args(PRIVATE)), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(props(client, "Set",
                    [](DBusMessageIter *it) {
                        put(it, PUBLIC);
                        put(it, "Other");
                        put_variant(it, "x");
                    }),
              DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(props(client, "Get", names({PUBLIC, "Name"})), "ok");
    EXPECT_EQ(props(client, "Get", names({PRIVATE, "Name"})), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(svc.taken(), (std::vector<std::string>{"Set org.example.Public", "Get org.example.Public"}));
}

TEST_F(PolicyArgsTest, PropertiesChangedOfThePrivateInterfaceNeverArrives)
{
    start_with({"--broadcast=org.example.Svc=org.freedesktop.DBus.Properties.PropertiesChanged"
                "@/org/example/Obj(arg0=org.example.Public)"});
    // Subscribed to everything the service sends.
    add_match(client, "type='signal',sender='org.example.Svc'");
    svc.changed(PRIVATE);
    svc.changed(nullptr); // no interface at all
    MessagePtr variant(dbus_message_new_signal(OBJ, PROPS, "PropertiesChanged"));
    DBusMessageIter it;
    dbus_message_iter_init_append(variant.get(), &it);
    put_variant(&it, PUBLIC);
    svc.send(variant);
    svc.changed(PUBLIC, "/org/example/Other");
    svc.changed(PUBLIC);
    // From one sender signals keep their order: what was dropped before the
    // public one arrived is dropped for good.
    EXPECT_EQ(heard_until(client, PUBLIC), std::vector<std::string>{PUBLIC});
}

TEST_F(ProxyTest, AuditedPropertiesKeepTheirInterface)
{
    Service svc;
    ASSERT_TRUE(svc.start(bus.address()));
    const std::string file = dir.file("props.policy");
    const char *match = "type='signal',sender='org.example.Svc',"
                        "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
                        "arg0='org.example.Public'";
    // What the application does: reads the public interface, listens to
    // its changes.
    const auto act = [&](Client &client) {
        EXPECT_EQ(props(client, "Get", names({PUBLIC, "Name"})), "ok");
        EXPECT_EQ(props(client, "Get", names({"org.example.Extra", "Name"})), "ok");
        EXPECT_EQ(props(client, "GetAll", names({PUBLIC})), "ok");
        add_match(client, match);
        svc.changed(PUBLIC);
        EXPECT_EQ(heard_until(client, PUBLIC), std::vector<std::string>{PUBLIC});
    };
    start_unix({"--audit=" + file});
    {
        Client client;
        ASSERT_TRUE(client.open(daemon.address()));
        act(client);
    }
    ASSERT_TRUE(wait_until([&] { return read_file(file).find("\ncall ") != std::string::npos; }))
        << daemon.log();
    const std::string policy = read_file(file);
    const std::string rules = policy.substr(policy.find("\nbroadcast") + 1);
    EXPECT_EQ(rules, "broadcast org.example.Svc=org.freedesktop.DBus.Properties.PropertiesChanged"
                     "(arg0=org.example.Public)\n"
                     "call org.example.Svc=org.freedesktop.DBus.Properties.Get@/org/example/Obj"
                     "(arg0=org.example.Extra)\n"
                     "call org.example.Svc=org.freedesktop.DBus.Properties.Get@/org/example/Obj"
                     "(arg0=org.example.Public)\n"
                     "call org.example.Svc=org.freedesktop.DBus.Properties.GetAll@/org/example/Obj"
                     "(arg0=org.example.Public)\n")
        << policy;

    // Under the policy it wrote: the same calls pass; the private interface
    // is neither read nor heard.
    EXPECT_EQ(daemon.process().stop(), 0);
    svc.taken();
    start_unix({"--filter", "--policy=" + file});
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    act(client);
    EXPECT_EQ(props(client, "Get", names({PRIVATE, "Secret"})), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(props(client, "GetAll", names({PRIVATE})), DBUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(props(client, "Set", set_args(PUBLIC)), DBUS_ERROR_ACCESS_DENIED);
    add_match(client, "type='signal',sender='org.example.Svc'");
    svc.changed(PRIVATE);
    svc.changed(PUBLIC);
    EXPECT_EQ(heard_until(client, PUBLIC), std::vector<std::string>{PUBLIC});
    EXPECT_EQ(svc.taken(), (std::vector<std::string>{"Get org.example.Public",
                                                     "Get org.example.Extra",
                                                     "GetAll org.example.Public"}));
}
