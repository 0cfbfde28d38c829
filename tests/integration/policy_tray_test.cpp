// A real Qt tray icon (QSystemTrayIcon, registering a StatusNotifierItem
// with the watcher on the host bus): audited once, then allowed under the
// policy the audit wrote, launch after launch, though its name carries its
// process id.
#include "fixture.h"

#include <cstring>
#include <memory>
#include <mutex>

#include <unistd.h>

using namespace harness;

namespace {

const char *const watcher_xml =
    "<node><interface name=\"org.kde.StatusNotifierWatcher\">"
    "<method name=\"RegisterStatusNotifierItem\"><arg type=\"s\" direction=\"in\"/></method>"
    "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
    "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
    "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
    "</interface></node>";

void append_property(DBusMessageIter *iter, const char *name)
{
    DBusMessageIter value;
    if (std::strcmp(name, "IsStatusNotifierHostRegistered") == 0) {
        dbus_bool_t yes = TRUE;
        dbus_message_iter_open_container(iter, DBUS_TYPE_VARIANT, "b", &value);
        dbus_message_iter_append_basic(&value, DBUS_TYPE_BOOLEAN, &yes);
    } else if (std::strcmp(name, "ProtocolVersion") == 0) {
        dbus_int32_t version = 0;
        dbus_message_iter_open_container(iter, DBUS_TYPE_VARIANT, "i", &value);
        dbus_message_iter_append_basic(&value, DBUS_TYPE_INT32, &version);
    } else {
        DBusMessageIter items;
        dbus_message_iter_open_container(iter, DBUS_TYPE_VARIANT, "as", &value);
        dbus_message_iter_open_container(&value, DBUS_TYPE_ARRAY, "s", &items);
        dbus_message_iter_close_container(&value, &items);
    }
    dbus_message_iter_close_container(iter, &value);
}

// The desktop's StatusNotifierWatcher, as far as Qt asks it: it notes each
// item that registers and activates it (a click on the icon).
class Watcher {
public:
    bool start(const std::string &address)
    {
        return peer_.start(address, {"org.kde.StatusNotifierWatcher"},
                           [this](DBusConnection *c, DBusMessage *m) { return handle(c, m); });
    }
    std::vector<std::string> registered()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return registered_;
    }

private:
    DBusMessage *handle(DBusConnection *c, DBusMessage *m)
    {
        DBusMessage *reply = dbus_message_new_method_return(m);
        DBusMessageIter iter;
        dbus_message_iter_init_append(reply, &iter);
        const char *arg = nullptr;
        dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &arg, DBUS_TYPE_INVALID);
        if (dbus_message_is_method_call(m, DBUS_INTERFACE_INTROSPECTABLE, "Introspect")) {
            dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &watcher_xml);
        } else if (dbus_message_is_method_call(m, DBUS_INTERFACE_PROPERTIES, "Get")) {
            const char *interface = nullptr, *name = nullptr;
            dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING,
                                  &name, DBUS_TYPE_INVALID);
            append_property(&iter, name ? name : "");
        } else if (dbus_message_is_method_call(m, "org.kde.StatusNotifierWatcher",
                                               "RegisterStatusNotifierItem") && arg) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                registered_.push_back(arg);
            }
            MessagePtr activate(dbus_message_new_method_call(arg, "/StatusNotifierItem",
                                                             "org.kde.StatusNotifierItem",
                                                             "Activate"));
            dbus_int32_t x = 0, y = 0;
            dbus_message_append_args(activate.get(), DBUS_TYPE_INT32, &x, DBUS_TYPE_INT32, &y,
                                     DBUS_TYPE_INVALID);
            dbus_connection_send(c, activate.get(), nullptr);
        } else {
            dbus_message_unref(reply);
            reply = dbus_message_new_error(m, DBUS_ERROR_UNKNOWN_METHOD, "not here");
        }
        return reply;
    }

    Peer peer_;
    std::mutex lock_;
    std::vector<std::string> registered_;
};

// A virtual X display of the test's own, on the first free number.
class Display {
public:
    bool start(const std::string &dir)
    {
        for (int n = 40 + getpid() % 400, tries = 0; tries < 20; ++n, ++tries) {
            auto x = std::make_unique<Process>();
            if (!x->start({"Xvfb", ":" + std::to_string(n), "-nolisten", "tcp", "-screen", "0",
                           "320x240x24"},
                          {}, dir + "/xvfb.out", dir + "/xvfb.err"))
                return false;
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
            if (wait_until([&] { return unix_socket_listening(socket) || !x->running(); },
                           10000ms) &&
                x->running()) {
                x_ = std::move(x);
                name_ = ":" + std::to_string(n);
                return true;
            }
        }
        return false;
    }
    const std::string &name() const { return name_; }

private:
    std::unique_ptr<Process> x_; // ended by its pid with the test
    std::string name_;
};

} // namespace

class PolicyTrayTest : public ProxyTest {};

TEST_F(PolicyTrayTest, AQtTrayIconAuditedOnceWorksUnderItsPolicyAtTheNextLaunch)
{
    if (run_command({"/usr/bin/python3", "-c", "import PyQt5.QtWidgets"}, {}, nullptr, nullptr) != 0)
        GTEST_SKIP() << "python3-pyqt5 is not installed";
    Display display;
    ASSERT_TRUE(display.start(dir.path())) << "Xvfb (package xvfb) did not start";
    Watcher watcher;
    ASSERT_TRUE(watcher.start(bus.address()));
    const std::string policy = dir.file("tray.policy");
    ClientHome home;
    auto launch = [&](const char *what) {
        std::vector<std::string> env = home.env();
        env.insert(env.end(), {"DISPLAY=" + display.name(), "QT_QPA_PLATFORM=xcb",
                               "DBUS_SESSION_BUS_ADDRESS=" + daemon.address()});
        std::string out, err;
        const int status = run_command({"/usr/bin/python3", DPD_QT_TRAY_ITEM, "20"}, env, &out,
                                       &err, 30000ms);
        EXPECT_EQ(status, 0) << what << "\n" << out << err << daemon.log();
        EXPECT_EQ(out, "activated\n") << what;
    };

    start_unix({"--audit=" + policy});
    launch("audited");
    // Written for good when the daemon stops, whenever it wrote before.
    EXPECT_EQ(daemon.process().stop(), 0);
    EXPECT_NE(read_file(policy).find("\nown org.kde.StatusNotifierItem-*\n"), std::string::npos)
        << read_file(policy);

    start_unix({"--filter", "--policy=" + policy});
    launch("filtered");
    const std::vector<std::string> items = watcher.registered();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_NE(items[0], items[1]);
    for (const std::string &item : items)
        EXPECT_EQ(item.rfind("org.kde.StatusNotifierItem-", 0), 0u) << item;
}
