// Unmodified applications in a container beside host instances of the same
// ones (--namespace-lookups), and the registry of names owned under the
// namespace (always): real GLib, dbus-python and QtDBus clients.
#include "fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <sstream>

using namespace harness;

namespace {

const char app_id[] = "org.example.App";

// One run of namespace_apps.py, with a HOME of its own, on `address`.
class App {
public:
    App(const std::string &dir, const std::string &name) : out_(dir + "/" + name + ".out")
    {
        home_ = dir + "/" + name + ".home";
        mkdir(home_.c_str(), 0700);
        err_ = dir + "/" + name + ".err";
    }
    bool start(const std::string &address, const std::string &mode, const std::string &arg)
    {
        return process_.start({"/usr/bin/python3", DPD_NAMESPACE_APPS, mode, arg},
                              {"HOME=" + home_, "DBUS_SESSION_BUS_ADDRESS=" + address,
                               "XDG_RUNTIME_DIR=" + home_},
                              out_, err_);
    }
    std::string output() const { return read_file(out_) + read_file(err_); }
    int count(const std::string &line) const
    {
        std::istringstream lines(read_file(out_));
        int n = 0;
        for (std::string l; std::getline(lines, l);)
            n += l == line;
        return n;
    }
    bool wait_line(const std::string &line, int times = 1)
    {
        return wait_until([&] { return count(line) >= times; }, 20000ms);
    }
    Process &process() { return process_; }

private:
    std::string out_, err_, home_;
    Process process_;
};

std::string owner_of(Client &client, const char *name)
{
    MessagePtr call = bus_call("GetNameOwner");
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    MessagePtr reply = client.call(call);
    const char *owner = nullptr;
    if (!reply ||
        !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID))
        return "-";
    return owner;
}

std::vector<std::string> names_of(Client &client, const char *member, const char *arg = nullptr)
{
    MessagePtr call = bus_call(member);
    if (arg)
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &arg, DBUS_TYPE_INVALID);
    MessagePtr reply = client.call(call);
    char **array = nullptr;
    int n = 0;
    std::vector<std::string> names;
    if (reply && dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING,
                                       &array, &n, DBUS_TYPE_INVALID)) {
        names.assign(array, array + n);
        dbus_free_string_array(array);
    }
    return names;
}

int count(const std::vector<std::string> &names, const std::string &name)
{
    return static_cast<int>(std::count(names.begin(), names.end(), name));
}

class UnmodifiedApps : public ProxyTest {
protected:
    Peer host_app; // the host's own instance of the application
    std::atomic<int> host_calls{0};

    void SetUp() override
    {
        ProxyTest::SetUp();
        if (run_command({"/usr/bin/python3", "-c", "import gi, dbus, PyQt5.QtDBus"}, {}, nullptr,
                        nullptr) != 0)
            GTEST_SKIP() << "python3-gi, python3-dbus or python3-pyqt5 is not installed";
        write_file(daemon.activation_list("dbus-sess-proxy.list"),
                   std::string(app_id) + "=" + app_id + ".docker\n");
        host_app.observer = [this](DBusMessage *m) {
            host_calls += dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL;
        };
        ASSERT_TRUE(host_app.start(bus.address(), {app_id}, echo_handler));
    }
};

} // namespace

TEST_F(UnmodifiedApps, SingleInstanceApplicationLivesBesideItsHostInstance)
{
    start_unix({"--namespace-lookups"});
    App first(dir.path(), "first"), second(dir.path(), "second");
    ASSERT_TRUE(first.start(daemon.address(), "gapp", app_id));
    ASSERT_TRUE(first.wait_line("activated")) << first.output() << daemon.log();
    EXPECT_EQ(first.count("primary"), 1) << first.output();

    // On the host: the container's instance under the namespace, the
    // host's own instance untouched.
    Client host;
    ASSERT_TRUE(host.open(bus.address()));
    EXPECT_EQ(owner_of(host, app_id), host_app.unique_name());
    EXPECT_NE(owner_of(host, "org.example.App.docker"), "-");

    // Launched again in the container: it activates the first, not the host's.
    ASSERT_TRUE(second.start(daemon.address(), "gapp", app_id));
    ASSERT_TRUE(second.wait_line("remote")) << second.output();
    EXPECT_TRUE(first.wait_line("activated", 2)) << first.output();
    EXPECT_EQ(second.process().wait_exit(10000ms), 0) << second.output();
    EXPECT_EQ(host_calls, 0);
}

TEST_F(UnmodifiedApps, WatchersFollowTheContainerInstanceOnly)
{
    start_unix({"--namespace-lookups"});
    App python(dir.path(), "python"), qt(dir.path(), "qt");
    ASSERT_TRUE(python.start(daemon.address(), "watch", app_id));
    ASSERT_TRUE(qt.start(daemon.address(), "qt", app_id));
    ASSERT_TRUE(python.wait_line("ready")) << python.output();
    ASSERT_TRUE(qt.wait_line("ready")) << qt.output();

    // The container's instance comes, as an application owning its name.
    Client container;
    ASSERT_TRUE(container.open(daemon.address()));
    ASSERT_EQ(dbus_bus_request_name(container.conn(), app_id, 0, nullptr),
              DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
    MessagePtr acquired = container.wait_message([](DBusMessage *m) {
        const char *name = nullptr;
        return dbus_message_is_signal(m, DBUS_INTERFACE_DBUS, "NameAcquired") &&
               dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID) &&
               std::string(name) == app_id;
    });
    EXPECT_TRUE(acquired) << "NameAcquired shown under the plain name";
    const std::string unique = container.unique_name();
    for (App *app : {&python, &qt})
        EXPECT_TRUE(app->wait_line("owner " + unique)) << app->output();
    EXPECT_TRUE(python.wait_line("changed " + std::string(app_id) + " " + unique))
        << python.output();

    // Lookups and lists agree: the container's instance under the plain name.
    Client lister;
    ASSERT_TRUE(lister.open(daemon.address()));
    EXPECT_EQ(owner_of(lister, app_id), unique);
    const std::vector<std::string> names = names_of(lister, "ListNames");
    EXPECT_EQ(count(names, app_id), 1);
    EXPECT_EQ(count(names, "org.example.App.docker"), 0);
    EXPECT_EQ(names_of(lister, "ListQueuedOwners", app_id), std::vector<std::string>{unique});

    // The host's instance goes: nobody in the container notices.
    host_app.stop();
    // ... the container's goes: everyone does.
    container.close();
    for (App *app : {&python, &qt})
        EXPECT_TRUE(app->wait_line("owner -")) << app->output();
    // dbus-python also reports the first "no owner" when it starts watching.
    EXPECT_EQ(python.count("owner -"), 2) << python.output();
    EXPECT_EQ(qt.count("owner -"), 1) << qt.output();
    EXPECT_EQ(python.count("changed " + std::string(app_id) + " -"), 1) << python.output();
}

TEST_F(UnmodifiedApps, NamesOwnedUnderTheNamespaceAreReachedByTheirPlainNames)
{
    // No list line and no --namespace-lookups: the registry alone.
    write_file(daemon.activation_list("dbus-sess-proxy.list"), "");
    Peer other_host, host_second;
    ASSERT_TRUE(other_host.start(bus.address(), {"org.example.Taken.docker"}, echo_handler));
    ASSERT_TRUE(host_second.start(bus.address(), {"org.example.Second"}, echo_handler));
    start_unix();
    Client service, caller;
    ASSERT_TRUE(service.open(daemon.address()));
    ASSERT_TRUE(caller.open(daemon.address()));
    auto who_answers = [&](const char *name) {
        MessagePtr call(dbus_message_new_method_call(name, "/s", "org.example.S", "Who"));
        dbus_connection_send(caller.conn(), call.get(), nullptr);
        dbus_connection_flush(caller.conn());
        // The service answers what reaches it; the host peers echo.
        MessagePtr got;
        if (service.conn())
            got = service.wait_message(
                [](DBusMessage *m) { return dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_CALL; },
                300ms);
        if (got)
            dbus_connection_send(service.conn(),
                                 MessagePtr(dbus_message_new_method_return(got.get())).get(),
                                 nullptr);
        MessagePtr reply = caller.wait_message([](DBusMessage *m) {
            return dbus_message_get_reply_serial(m) != 0;
        });
        if (!reply)
            return std::string("none");
        if (dbus_message_get_type(reply.get()) == DBUS_MESSAGE_TYPE_ERROR)
            return std::string(dbus_message_get_error_name(reply.get()));
        return std::string(dbus_message_get_sender(reply.get()));
    };
    for (const char *name : {"org.example.First.docker", "org.example.Second.docker"})
        ASSERT_EQ(dbus_bus_request_name(service.conn(), name, 0, nullptr),
                  DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
    // Refused by the bus: never recorded.
    ASSERT_EQ(dbus_bus_request_name(service.conn(), "org.example.Taken.docker",
                                    DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr),
              DBUS_REQUEST_NAME_REPLY_EXISTS);
    const std::string self = service.unique_name();
    EXPECT_EQ(who_answers("org.example.First"), self);
    EXPECT_EQ(who_answers("org.example.Second"), self);
    EXPECT_EQ(who_answers("org.example.Taken"), DBUS_ERROR_SERVICE_UNKNOWN);
    ASSERT_EQ(dbus_bus_release_name(service.conn(), "org.example.First.docker", nullptr),
              DBUS_RELEASE_NAME_REPLY_RELEASED);
    EXPECT_TRUE(wait_until([&] { return who_answers("org.example.First") != self; }));
    // Once the application is gone, the host's own instance answers again.
    service.close();
    EXPECT_TRUE(wait_until(
        [&] { return who_answers("org.example.Second") == host_second.unique_name(); }));
}
