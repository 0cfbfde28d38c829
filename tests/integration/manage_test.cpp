// The containers interface on the host bus: a host program adds and
// removes containers, host services ask which container a caller came
// through, and neither a client of the daemon nor another user may manage.
#include "fixture.h"
#include "settings_dict.h"
#include "util/message.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>

using namespace harness;

namespace {

constexpr const char *manage_name = "org.dbusproxydaemon.Containers1";
constexpr const char *manage_path = "/org/dbusproxydaemon/Containers1";
constexpr const char *manage_interface = "org.dbusproxydaemon.Containers1";

MessagePtr manage_call(const char *member, const char *destination = manage_name)
{
    return MessagePtr(
        dbus_message_new_method_call(destination, manage_path, manage_interface, member));
}

// "ok: " and the first string of the reply, or the error's name and text.
std::string outcome(Client &client, const MessagePtr &call)
{
    std::string error;
    MessagePtr reply = client.call(call, 5000, &error);
    if (!reply)
        return error;
    const char *first = first_string_arg(reply.get());
    return std::string("ok: ") + (first ? first : "");
}

std::string add(Client &client, const std::string &name, const std::vector<Setting> &settings,
                const char *destination = manage_name)
{
    MessagePtr call = manage_call("AddContainer", destination);
    const char *text = name.c_str();
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    append_settings(call.get(), settings);
    return outcome(client, call);
}

std::string remove(Client &client, const std::string &name, const char *destination = manage_name)
{
    MessagePtr call = manage_call("RemoveContainer", destination);
    const char *text = name.c_str();
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    return outcome(client, call);
}

std::string starts(const std::string &text, size_t n = 40)
{
    return text.substr(0, n);
}

// A variant as text: strings as they are, lists joined by '|', dictionaries
// as k=v;k=v.
std::string variant_text(DBusMessageIter *variant)
{
    const int type = dbus_message_iter_get_arg_type(variant);
    if (type == DBUS_TYPE_STRING) {
        const char *s = nullptr;
        dbus_message_iter_get_basic(variant, &s);
        return s;
    }
    if (type == DBUS_TYPE_BOOLEAN) {
        dbus_bool_t b = FALSE;
        dbus_message_iter_get_basic(variant, &b);
        return b ? "true" : "false";
    }
    if (type == DBUS_TYPE_UINT32) {
        dbus_uint32_t u = 0;
        dbus_message_iter_get_basic(variant, &u);
        return std::to_string(u);
    }
    std::string out;
    DBusMessageIter items;
    dbus_message_iter_recurse(variant, &items);
    for (; dbus_message_iter_get_arg_type(&items) != DBUS_TYPE_INVALID;
         dbus_message_iter_next(&items)) {
        if (dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_DICT_ENTRY) {
            DBusMessageIter entry;
            dbus_message_iter_recurse(&items, &entry);
            out += (out.empty() ? "" : ";") + variant_text(&entry) + "=";
            dbus_message_iter_next(&entry);
            out += variant_text(&entry);
        } else {
            out += (out.empty() ? "" : "|") + variant_text(&items);
        }
    }
    return out;
}

using Listing = std::map<std::string, std::map<std::string, std::string>>;

// ListContainers: container -> key -> value as text.
Listing list(Client &client, std::string *error = nullptr)
{
    Listing listing;
    MessagePtr reply = client.call(manage_call("ListContainers"), 5000, error);
    DBusMessageIter iter, containers;
    if (!reply || !dbus_message_has_signature(reply.get(), "a{sa{sv}}"))
        return listing;
    dbus_message_iter_init(reply.get(), &iter);
    dbus_message_iter_recurse(&iter, &containers);
    for (; dbus_message_iter_get_arg_type(&containers) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&containers)) {
        DBusMessageIter entry, settings;
        dbus_message_iter_recurse(&containers, &entry);
        const char *name = nullptr;
        dbus_message_iter_get_basic(&entry, &name);
        auto &fields = listing[name];
        dbus_message_iter_next(&entry);
        dbus_message_iter_recurse(&entry, &settings);
        for (; dbus_message_iter_get_arg_type(&settings) == DBUS_TYPE_DICT_ENTRY;
             dbus_message_iter_next(&settings)) {
            DBusMessageIter setting, variant;
            dbus_message_iter_recurse(&settings, &setting);
            const char *key = nullptr;
            dbus_message_iter_get_basic(&setting, &key);
            dbus_message_iter_next(&setting);
            dbus_message_iter_recurse(&setting, &variant);
            fields[key] = variant_text(&variant);
        }
    }
    return listing;
}

// GetConnectionContainer: "container / k=v;k=v", or the error's name.
std::string container_of(Client &client, const std::string &unique_name)
{
    MessagePtr call = manage_call("GetConnectionContainer");
    const char *text = unique_name.c_str();
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    std::string error;
    MessagePtr reply = client.call(call, 5000, &error);
    if (!reply)
        return error.substr(0, error.find(':'));
    if (!dbus_message_has_signature(reply.get(), "sa{ss}"))
        return std::string("signature ") + dbus_message_get_signature(reply.get());
    DBusMessageIter iter;
    dbus_message_iter_init(reply.get(), &iter);
    const char *name = nullptr;
    dbus_message_iter_get_basic(&iter, &name);
    dbus_message_iter_next(&iter);
    // variant_text reads the a{ss} as it reads a variant's content.
    DBusMessageIter holder = iter;
    std::string metadata;
    DBusMessageIter items;
    dbus_message_iter_recurse(&holder, &items);
    for (; dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&items)) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&items, &entry);
        metadata += (metadata.empty() ? "" : ";") + variant_text(&entry) + "=";
        dbus_message_iter_next(&entry);
        metadata += variant_text(&entry);
    }
    return std::string(name) + " / " + metadata;
}

std::string owner_of(Client &client, const char *name)
{
    MessagePtr call = bus_call("GetNameOwner");
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    MessagePtr reply = client.call(call, 2000);
    const char *owner = reply ? first_string_arg(reply.get()) : nullptr;
    return owner ? owner : "";
}

// Who answered a call to DEST through `client`, or the error's name.
std::string who_answers(Client &client, const char *destination)
{
    MessagePtr call(dbus_message_new_method_call(destination, "/x", "org.example.Echo", "Echo"));
    std::string error;
    MessagePtr reply = client.call(call, 5000, &error);
    if (!reply)
        return error.substr(0, error.find(':'));
    return dbus_message_get_sender(reply.get());
}

bool is_signal(DBusMessage *m, const char *member, const std::string &arg)
{
    const char *first = first_string_arg(m);
    return dbus_message_is_signal(m, manage_interface, member) && first && arg == first;
}

void add_match(Client &client, const std::string &rule)
{
    MessagePtr call = bus_call("AddMatch");
    const char *text = rule.c_str();
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    ASSERT_TRUE(client.call(call)) << rule;
}

class ManageTest : public ProxyTest {
protected:
    Client host; // the container runtime
    std::string runtime_dir;

    void SetUp() override
    {
        ProxyTest::SetUp();
        runtime_dir = dir.file("run");
        ASSERT_EQ(mkdir(runtime_dir.c_str(), 0700), 0);
        daemon.extra_env.push_back("XDG_RUNTIME_DIR=" + runtime_dir);
        const std::string files = dir.file("containers.d");
        ASSERT_EQ(mkdir(files.c_str(), 0755), 0);
        write_file(files + "/fromfile.conf", "listen unix:path=" + dir.file("fromfile.sock") +
                                                 "\nmetadata source=file\n");
        start_unix({"--containers", files});
        ASSERT_TRUE(host.open(bus.address()));
        ASSERT_TRUE(wait_until([&] { return !owner_of(host, manage_name).empty(); }))
            << daemon.log();
    }

    std::string socket_path(const std::string &name) const
    {
        return runtime_dir + "/dbus-proxy-daemon/containers/" + name + ".sock";
    }
};

TEST_F(ManageTest, AddedContainerHoldsItsClientToItsPolicyUntilRemoved)
{
    Peer allowed, denied;
    ASSERT_TRUE(allowed.start(bus.address(), {"org.example.Allowed"}, echo_handler));
    ASSERT_TRUE(denied.start(bus.address(), {"org.example.Denied"}, echo_handler));
    add_match(host, std::string("type='signal',interface='") + manage_interface + "'");

    const std::string path = socket_path("c1");
    ASSERT_EQ(add(host, "c1",
                  {{"policy", "as", {"talk org.example.Allowed"}},
                   {"metadata", "a{ss}", {"image", "debian:12", "app", "org.example.App"}}}),
              "ok: unix:path=" + path)
        << daemon.log();
    EXPECT_TRUE(host.wait_message([](DBusMessage *m) { return is_signal(m, "ContainerAdded", "c1"); }));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u) << "the container's users must be able to connect";

    Client client;
    ASSERT_TRUE(client.open("unix:path=" + path)) << daemon.log();
    EXPECT_EQ(who_answers(client, "org.example.Allowed"), allowed.unique_name());
    EXPECT_NE(who_answers(client, "org.example.Denied"), denied.unique_name());
    // The command line's client lives under its own (unfiltered) settings.
    Client other;
    ASSERT_TRUE(other.open(daemon.address()));
    EXPECT_EQ(who_answers(other, "org.example.Denied"), denied.unique_name());

    EXPECT_EQ(container_of(host, client.unique_name()),
              "c1 / image=debian:12;app=org.example.App");
    EXPECT_EQ(container_of(host, other.unique_name()), " / ");

    Listing listing = list(host);
    ASSERT_TRUE(listing.count("c1"));
    EXPECT_EQ(listing["c1"]["origin"], "call");
    EXPECT_EQ(listing["c1"]["clients"], "1");
    EXPECT_EQ(listing["c1"]["listen"], "unix:path=" + path);
    EXPECT_EQ(listing["c1"]["namespace"], "c1");
    EXPECT_EQ(listing["c1"]["policy"], "talk org.example.Allowed");
    EXPECT_EQ(listing["c1"]["metadata"], "image=debian:12;app=org.example.App");
    EXPECT_EQ(listing[""]["origin"], "command-line");
    EXPECT_EQ(listing[""]["clients"], "1");

    const std::string client_name = client.unique_name();
    EXPECT_EQ(remove(host, "c1"), "ok: ");
    EXPECT_TRUE(client.read_until_disconnected());
    EXPECT_TRUE(host.wait_message([](DBusMessage *m) { return is_signal(m, "ContainerRemoved", "c1"); }));
    EXPECT_FALSE(unix_socket_listening(path));
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket the daemon made is gone";
    EXPECT_TRUE(wait_until([&] { return container_of(host, client_name) != "c1 / image=debian:12;app=org.example.App"; }));
    EXPECT_EQ(container_of(host, client_name),
              "org.dbusproxydaemon.Containers1.Error.NotAContainer");
    EXPECT_FALSE(list(host).count("c1"));
    round_trip(other);
    // The name is free again, and a socket made anew.
    EXPECT_EQ(add(host, "c1", {}), "ok: unix:path=" + path);
    Client again;
    EXPECT_TRUE(again.open("unix:path=" + path));
}

TEST_F(ManageTest, AGivenListenAddressIsReturnedAndKept)
{
    const std::string path = dir.file("given.sock");
    const std::string address = "unix:path=" + path;
    const std::vector<Setting> settings = {
        {"listen", "as", {address, "unix:path=" + dir.file("second.sock")}},
        {"namespace", "s", {"ns-given"}},
        {"lookups", "b", {"true"}},
    };
    ASSERT_EQ(add(host, "given", settings),
              "ok: " + address);
    Client client;
    ASSERT_TRUE(client.open(address));
    Client second;
    ASSERT_TRUE(second.open("unix:path=" + dir.file("second.sock")));
    Listing listing = list(host);
    EXPECT_EQ(listing["given"]["namespace"], "ns-given");
    EXPECT_EQ(listing["given"]["lookups"], "true");
    EXPECT_EQ(listing["given"]["panel-prefix"], "/opt/tolm");
    EXPECT_EQ(listing["given"]["clients"], "2");
    EXPECT_EQ(listing["given"].count("policy"), 0u) << "no policy: not filtered";
    EXPECT_EQ(remove(host, "given"), "ok: ");
    EXPECT_TRUE(client.read_until_disconnected());
    EXPECT_TRUE(second.read_until_disconnected());
}

TEST_F(ManageTest, BadSettingsAreInvalidArgsSayingWhatIsWrong)
{
    add_match(host, std::string("type='signal',interface='") + manage_interface + "'");
    ASSERT_EQ(add(host, "taken", {}), "ok: unix:path=" + socket_path("taken"));
    struct Case {
        const char *name;
        std::vector<Setting> settings;
        const char *says;
    };
    const Case cases[] = {
        {"c2", {{"listening", "as", {"unix:path=/x"}}}, "unknown setting 'listening'"},
        {"c2", {{"listen", "s", {"unix:path=/x"}}}, "listen: wanted type 'as'"},
        {"c2", {{"lookups", "s", {"yes"}}}, "lookups: wanted type 'b'"},
        {"c2", {{"namespace", "s", {"ns\nlisten tcp:host=0.0.0.0,port=1"}}}, "line break"},
        {"c2", {{"metadata", "a{ss}", {"k", "v\nfilter"}}}, "line break"},
        {"c2", {{"policy", "as", {"talk not a name"}}}, "talk takes one NAME"},
        {"c2", {{"policy", "as", {"listen unix:path=/tmp/x"}}}, "is not a rule"},
        {"c2", {{"listen", "as", {"nonsense"}}}, "nonsense"},
        {"taken", {}, "exists"},
        {"../c2", {}, "letters, digits"},
        {"", {}, "letters, digits"},
    };
    for (const Case &c : cases) {
        const std::string result = add(host, c.name, c.settings);
        EXPECT_EQ(starts(result, 40), starts("org.freedesktop.DBus.Error.InvalidArgs: ", 40))
            << c.says << ": " << result;
        EXPECT_NE(result.find(c.says), std::string::npos) << result;
    }
    EXPECT_EQ(starts(remove(host, "nothing-here")),
              starts("org.freedesktop.DBus.Error.InvalidArgs: "));
    EXPECT_EQ(starts(remove(host, "")), starts("org.freedesktop.DBus.Error.InvalidArgs: "))
        << "the command line's container stays";
    EXPECT_TRUE(unix_socket_listening(daemon.socket_path()));
    Client of_taken;
    EXPECT_TRUE(of_taken.open("unix:path=" + socket_path("taken")))
        << "a second add under its name leaves the running container's socket alone";
    // A wrong signature is refused before anything is asked.
    MessagePtr call = manage_call("AddContainer");
    const char *name = "c2";
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    EXPECT_EQ(starts(outcome(host, call)), starts("org.freedesktop.DBus.Error.InvalidArgs: "));

    const Listing listing = list(host);
    EXPECT_EQ(listing.size(), 3u) << "the command line's, the file's and 'taken', nothing else";
    EXPECT_NE(access(socket_path("c2").c_str(), F_OK), 0);
    // Only the one container that was added was announced.
    EXPECT_TRUE(host.wait_message([](DBusMessage *m) { return is_signal(m, "ContainerAdded", "taken"); }));
    EXPECT_FALSE(host.wait_message(
        [](DBusMessage *m) { return dbus_message_is_signal(m, manage_interface, "ContainerAdded"); },
        300ms));
}

TEST_F(ManageTest, FileContainersAreListedButRemovedOnlyWithTheirFile)
{
    Client client;
    ASSERT_TRUE(client.open("unix:path=" + dir.file("fromfile.sock")));
    Listing listing = list(host);
    EXPECT_EQ(listing["fromfile"]["origin"], "file");
    EXPECT_EQ(listing["fromfile"]["clients"], "1");
    EXPECT_EQ(container_of(host, client.unique_name()), "fromfile / source=file");
    const std::string result = remove(host, "fromfile");
    EXPECT_EQ(starts(result), starts("org.freedesktop.DBus.Error.InvalidArgs: "));
    EXPECT_NE(result.find("comes from a file"), std::string::npos) << result;
    round_trip(client);
    EXPECT_TRUE(list(host).count("fromfile"));

    // Files that come and go at a reload are announced like calls.
    add_match(host, std::string("type='signal',interface='") + manage_interface + "'");
    const std::string files = dir.file("containers.d");
    write_file(files + "/second.conf", "listen unix:path=" + dir.file("second.sock") + "\n");
    ASSERT_EQ(unlink((files + "/fromfile.conf").c_str()), 0);
    ASSERT_TRUE(daemon.process().signal(SIGHUP));
    EXPECT_TRUE(host.wait_message([](DBusMessage *m) { return is_signal(m, "ContainerAdded", "second"); }));
    EXPECT_TRUE(host.wait_message([](DBusMessage *m) { return is_signal(m, "ContainerRemoved", "fromfile"); }));
}

// The daemon makes its sockets only in a directory no one else can change.
TEST_F(ManageTest, ARuntimeDirectoryOthersMayWriteIsNotUsed)
{
    const std::string open_dir = runtime_dir + "/dbus-proxy-daemon";
    ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
    const std::string result = add(host, "c1", {});
    const std::string failed = "org.freedesktop.DBus.Error.Failed: ";
    EXPECT_EQ(starts(result, failed.size()), failed) << result;
    EXPECT_NE(result.find("closed to others"), std::string::npos) << result;
    EXPECT_FALSE(list(host).count("c1"));
    // A listen address of the caller's own still works.
    EXPECT_EQ(add(host, "c1", {{"listen", "as", {"unix:path=" + dir.file("c1.sock")}}}),
              "ok: unix:path=" + dir.file("c1.sock"));
}

// Clients of the daemon, as attackers: whatever they are allowed to reach,
// they can neither add a container (an unfiltered one for themselves) nor
// remove their neighbours', nor read the neighbours' settings.
TEST_F(ManageTest, NoClientOfTheDaemonMayManage)
{
    ASSERT_EQ(add(host, "victim", {{"metadata", "a{ss}", {"secret", "victim's"}}}),
              "ok: unix:path=" + socket_path("victim"));
    Client victim;
    ASSERT_TRUE(victim.open("unix:path=" + socket_path("victim")));
    ASSERT_EQ(add(host, "talker", {{"policy", "as", {std::string("talk ") + manage_name}}}),
              "ok: unix:path=" + socket_path("talker"));

    Client unfiltered, talker;
    ASSERT_TRUE(unfiltered.open(daemon.address()));
    ASSERT_TRUE(talker.open("unix:path=" + socket_path("talker")));
    const std::string daemon_unique = owner_of(host, manage_name);
    ASSERT_FALSE(daemon_unique.empty());
    // The talker's policy does let it reach the object.
    MessagePtr introspect(dbus_message_new_method_call(manage_name, manage_path,
                                                       DBUS_INTERFACE_INTROSPECTABLE, "Introspect"));
    ASSERT_TRUE(talker.call(introspect)) << daemon.log();

    // Refused by the interface; the talker's call to the unique name is
    // already refused by its policy.
    const std::string ours = "org.freedesktop.DBus.Error.AccessDenied: a client of this daemon";
    const std::string any = "org.freedesktop.DBus.Error.AccessDenied: ";
    struct Attacker {
        const char *what;
        Client *client;
        const char *destination;
        const std::string &denied;
    };
    const Attacker attackers[] = {
        {"unfiltered", &unfiltered, manage_name, ours},
        {"unfiltered, to the unique name", &unfiltered, daemon_unique.c_str(), ours},
        {"allowed to talk to the name", &talker, manage_name, ours},
        {"allowed to talk, to the unique name", &talker, daemon_unique.c_str(), any},
    };
    for (const Attacker &a : attackers) {
        const std::string &denied = a.denied;
        EXPECT_EQ(starts(add(*a.client, "evil", {}, a.destination), denied.size()), denied) << a.what;
        EXPECT_EQ(starts(remove(*a.client, "victim", a.destination), denied.size()), denied)
            << a.what;
        MessagePtr listing = manage_call("ListContainers", a.destination);
        EXPECT_EQ(starts(outcome(*a.client, listing), denied.size()), denied) << a.what;
        MessagePtr which = manage_call("GetConnectionContainer", a.destination);
        const char *victim_name = victim.unique_name();
        dbus_message_append_args(which.get(), DBUS_TYPE_STRING, &victim_name, DBUS_TYPE_INVALID);
        EXPECT_EQ(starts(outcome(*a.client, which), denied.size()), denied) << a.what;
    }
    // The victim is untouched, and nothing was added.
    round_trip(victim);
    const Listing listing = list(host);
    EXPECT_TRUE(listing.count("victim"));
    EXPECT_FALSE(listing.count("evil"));
    EXPECT_NE(access(socket_path("evil").c_str(), F_OK), 0);
}

// Another user of the host may ask, but not manage.
TEST_F(ManageTest, OnlyTheDaemonsUserAndRootMayManage)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a caller as another user";
    bus.stop();
    bus.extra_config = "<policy context=\"default\"><allow user=\"*\"/></policy>\n";
    ASSERT_TRUE(bus.start());
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_TRUE(host.open(bus.address()));
    ASSERT_TRUE(wait_until([&] { return !owner_of(host, manage_name).empty(); })) << daemon.log();
    ASSERT_EQ(add(host, "kept", {}), "ok: unix:path=" + socket_path("kept"));

    auto as_nobody = [&](const std::vector<std::string> &args, std::string *out) {
        std::vector<std::string> argv{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                      "gdbus", "call", "--address", bus.address(), "--dest",
                                      manage_name, "--object-path", manage_path, "--method"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string err;
        const int status = run_command(argv, {"HOME=/nonexistent"}, out, &err);
        *out += err;
        return status;
    };
    std::string out;
    EXPECT_NE(as_nobody({std::string(manage_interface) + ".AddContainer", "evil", "{}"}, &out), 0);
    EXPECT_NE(out.find("AccessDenied"), std::string::npos) << out;
    EXPECT_NE(as_nobody({std::string(manage_interface) + ".RemoveContainer", "kept"}, &out), 0);
    EXPECT_NE(out.find("AccessDenied"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(as_nobody({std::string(manage_interface) + ".ListContainers"}, &out), 0) << out;
    EXPECT_NE(out.find("'kept'"), std::string::npos) << out;
    const Listing listing = list(host);
    EXPECT_TRUE(listing.count("kept"));
    EXPECT_FALSE(listing.count("evil"));
}

TEST_F(ManageTest, NamesThatAreNoClientAreNotAContainer)
{
    Client peer;
    ASSERT_TRUE(peer.open(bus.address()));
    const std::string not_one = "org.dbusproxydaemon.Containers1.Error.NotAContainer";
    EXPECT_EQ(container_of(peer, peer.unique_name()), not_one);
    EXPECT_EQ(container_of(peer, host.unique_name()), not_one);
    EXPECT_EQ(container_of(peer, owner_of(host, manage_name)), not_one) << "the daemon itself";
    EXPECT_EQ(container_of(peer, manage_name), not_one);
    EXPECT_EQ(container_of(peer, ":1.9999"), not_one);
    EXPECT_EQ(container_of(peer, ""), not_one);
}

TEST_F(ManageTest, IntrospectionShowsTheInterface)
{
    std::string out, err;
    ASSERT_EQ(run_command({"busctl", "--address=" + bus.address(), "introspect", manage_name,
                           manage_path},
                          {}, &out, &err),
              0)
        << err;
    for (const char *member : {".AddContainer", ".RemoveContainer", ".ListContainers",
                               ".GetConnectionContainer", ".ContainerAdded", ".ContainerRemoved"})
        EXPECT_NE(out.find(member), std::string::npos) << member << "\n" << out;
    EXPECT_NE(out.find("sa{sv}"), std::string::npos) << out;
    ASSERT_EQ(run_command({"busctl", "--address=" + bus.address(), "tree", manage_name}, {}, &out,
                          &err),
              0)
        << err;
    EXPECT_NE(out.find(manage_path), std::string::npos) << out;
}

// The bus restarts: the name is owned again, the added container still
// listens and its new clients reach the new bus.
TEST_F(ManageTest, AfterTheBusRestartsTheNameIsOwnedAgainAndContainersRun)
{
    ASSERT_EQ(add(host, "c1", {{"metadata", "a{ss}", {"app", "a"}}}),
              "ok: unix:path=" + socket_path("c1"));
    host.close();
    bus.stop();
    ASSERT_TRUE(bus.start());
    Client fresh;
    ASSERT_TRUE(fresh.open(bus.address()));
    ASSERT_TRUE(wait_until([&] { return !owner_of(fresh, manage_name).empty(); }, 10000ms))
        << daemon.log();
    EXPECT_TRUE(list(fresh).count("c1"));
    Client client;
    ASSERT_TRUE(client.open("unix:path=" + socket_path("c1"))) << daemon.log();
    round_trip(client);
    EXPECT_EQ(container_of(fresh, client.unique_name()), "c1 / app=a");
    EXPECT_EQ(remove(fresh, "c1"), "ok: ");
}

// The README's start and stop hooks, run as they are written there.
std::string readme_hook(const std::string &first_line)
{
    const std::string readme = read_file(DPD_README);
    const size_t at = readme.find(first_line);
    if (at == std::string::npos)
        return "";
    const size_t start = readme.rfind("```sh\n", at);
    const size_t end = readme.find("```", at);
    return readme.substr(start + 6, end - start - 6);
}

TEST_F(ManageTest, TheReadmesHooksWorkAsWritten)
{
    const std::string start_hook = readme_hook("# start hook: NAME IMAGE");
    const std::string stop_hook = readme_hook("# stop hook: NAME");
    ASSERT_NE(start_hook.find("AddContainer"), std::string::npos) << start_hook;
    ASSERT_NE(stop_hook.find("RemoveContainer"), std::string::npos) << stop_hook;
    Peer notifications;
    ASSERT_TRUE(notifications.start(bus.address(), {"org.freedesktop.Notifications"}, echo_handler));

    const std::vector<std::string> env{"DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
                                       "HOME=" + dir.path()};
    std::string out, err;
    ASSERT_EQ(run_command({"sh", "-c", start_hook, "start-hook", "web", "debian:12"}, env, &out,
                          &err),
              0)
        << err;
    EXPECT_EQ(out, "('unix:path=" + socket_path("web") + "',)\n");
    Client app;
    ASSERT_TRUE(app.open("unix:path=" + socket_path("web")));
    EXPECT_EQ(who_answers(app, "org.freedesktop.Notifications"), notifications.unique_name());
    EXPECT_EQ(container_of(host, app.unique_name()), "web / image=debian:12");

    ASSERT_EQ(run_command({"sh", "-c", stop_hook, "stop-hook", "web"}, env, &out, &err), 0) << err;
    EXPECT_EQ(out, "()\n");
    EXPECT_TRUE(app.read_until_disconnected());
}

} // namespace
