#include "session/bus_open.h"

#include "loop/loop.h"
#include "util/dbus_ptr.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

constexpr char system_bus_default[] = "unix:path=/var/run/dbus/system_bus_socket";

// A path as a D-Bus address value: bytes outside the optionally-escaped set
// become %XX.
std::string escape_address_value(const std::string &value)
{
    char *escaped = dbus_address_escape_value(value.c_str());
    if (!escaped)
        return {};
    std::string out(escaped);
    dbus_free(escaped);
    return out;
}

std::string session_bus_default()
{
    // As libdbus does: the per-user bus socket when it is there and ours.
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR")) {
        const std::string path = std::string(runtime) + "/bus";
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == getuid()) {
            const std::string value = escape_address_value(path);
            if (!value.empty())
                return "unix:path=" + value;
        }
    }
    return "autolaunch:";
}

} // namespace

std::string host_bus_address(bool system_bus)
{
    const char *from_env =
        std::getenv(system_bus ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS");
    if (from_env && *from_env)
        return from_env;
    return system_bus ? system_bus_default : session_bus_default();
}

DBusConnection *bus_open_async(bool system_bus, DBusPendingCallNotifyFunction on_hello,
                               void *data, DBusPendingCall **pending, std::string *error)
{
    ScopedError dbus_error;
    const std::string address = host_bus_address(system_bus);
    ConnectionPtr connection(dbus_connection_open_private(address.c_str(), dbus_error.get()));
    if (!connection) {
        *error = dbus_error.message() ? dbus_error.message() : "(null)";
        return nullptr;
    }
    // libdbus would _exit() the whole daemon when this one connection is lost.
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);

    MessagePtr hello(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                  DBUS_INTERFACE_DBUS, "Hello"));
    DBusPendingCall *raw = nullptr;
    if (!hello ||
        !dbus_connection_send_with_reply(connection.get(), hello.get(), &raw,
                                         DBUS_TIMEOUT_USE_DEFAULT) ||
        !raw) {
        if (raw)
            dbus_pending_call_unref(raw);
        dbus_connection_close(connection.get());
        *error = "out of memory";
        return nullptr;
    }
    if (!dbus_pending_call_set_notify(raw, on_hello, data, nullptr) ||
        !loop_attach_connection(connection.get())) {
        dbus_pending_call_cancel(raw);
        dbus_pending_call_unref(raw);
        dbus_connection_close(connection.get());
        *error = "out of memory";
        return nullptr;
    }
    *pending = raw;
    return connection.release();
}

bool bus_take_hello_reply(DBusPendingCall *pending, DBusConnection *connection,
                          std::string *error)
{
    MessagePtr reply(dbus_pending_call_steal_reply(pending));
    if (!reply) {
        *error = "no reply to Hello";
        return false;
    }
    ScopedError dbus_error;
    const char *name = nullptr;
    if (dbus_set_error_from_message(dbus_error.get(), reply.get()) ||
        !dbus_message_get_args(reply.get(), dbus_error.get(), DBUS_TYPE_STRING, &name,
                               DBUS_TYPE_INVALID)) {
        *error = dbus_error.message() ? dbus_error.message() : "(null)";
        return false;
    }
    if (!dbus_bus_set_unique_name(connection, name)) {
        *error = "out of memory";
        return false;
    }
    return true;
}
