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

DBusConnection *bus_open_async(bool system_bus, dbus_uint32_t *hello_serial,
                               std::string *error)
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

    // Sent plainly and matched by serial: a pending call would keep a block
    // and a timeout per connection for an answer the bus always gives (or
    // drops the connection instead).
    MessagePtr hello(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                  DBUS_INTERFACE_DBUS, "Hello"));
    dbus_uint32_t serial = 0;
    if (!hello || !dbus_connection_send(connection.get(), hello.get(), &serial) ||
        !loop_attach_connection(connection.get())) {
        dbus_connection_close(connection.get());
        *error = "out of memory";
        return nullptr;
    }
    *hello_serial = serial;
    return connection.release();
}

bool bus_is_hello_reply(DBusMessage *message, dbus_uint32_t hello_serial)
{
    const int type = dbus_message_get_type(message);
    return (type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR) &&
           dbus_message_get_reply_serial(message) == hello_serial &&
           dbus_message_has_sender(message, DBUS_SERVICE_DBUS);
}

bool bus_take_hello_reply(DBusMessage *reply, DBusConnection *connection, std::string *error)
{
    ScopedError dbus_error;
    const char *name = nullptr;
    if (dbus_set_error_from_message(dbus_error.get(), reply) ||
        !dbus_message_get_args(reply, dbus_error.get(), DBUS_TYPE_STRING, &name,
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
