#include "panel/pid_query.h"

#include "log/log.h"
#include "loop/loop.h"
#include "session/bus_open.h"
#include "util/dbus_ptr.h"

#include <string>

unsigned long panel_query_generation = 0;

namespace {

// How long a GetAll may wait for the bus to name its caller's process.
constexpr int pid_query_timeout_ms = 3000;

// Lives as long as the process; no destructor runs at exit.
DBusConnection *query_connection = nullptr;
DBusBusType query_bus_type = DBUS_BUS_SESSION;

void on_query_hello(DBusPendingCall *pending, void *data)
{
    auto *connection = static_cast<DBusConnection *>(data);
    std::string error;
    // A refused Hello ends the connection at the bus; the next query
    // notices it is gone and opens another.
    bus_take_hello_reply(pending, connection, &error);
}

// Learns of the bus going away as soon as the loop sees it, not only at
// the next query.
DBusHandlerResult on_query_message(DBusConnection *, DBusMessage *message, void *)
{
    if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected"))
        ++panel_query_generation;
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

} // namespace

DBusConnection *panel_query_connection(DBusBusType type)
{
    if (query_connection &&
        (!dbus_connection_get_is_connected(query_connection) || query_bus_type != type)) {
        dbus_connection_remove_filter(query_connection, on_query_message, nullptr);
        dbus_connection_close(query_connection);
        dbus_connection_unref(query_connection);
        query_connection = nullptr;
        ++panel_query_generation;
    }
    if (query_connection)
        return query_connection;

    std::string error;
    DBusPendingCall *hello = nullptr;
    // The notify's data is the connection itself, which the pending call
    // never outlives.
    DBusConnection *opened = nullptr;
    opened = bus_open_async(type == DBUS_BUS_SYSTEM, on_query_hello, nullptr, &hello, &error);
    if (!opened)
        return nullptr;
    dbus_pending_call_set_notify(hello, on_query_hello, opened, nullptr);
    dbus_pending_call_unref(hello);
    // Without the filter a lost bus is still noticed at the next query.
    dbus_connection_add_filter(opened, on_query_message, nullptr, nullptr);
    ++panel_query_generation;
    query_connection = opened;
    query_bus_type = type;
    return query_connection;
}

DBusPendingCall *query_connection_pid(DBusConnection *connection, const char *unique_name,
                                      DBusPendingCallNotifyFunction on_answer, void *data)
{
    if (!unique_name || !connection)
        return nullptr;
    MessagePtr query(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                  DBUS_INTERFACE_DBUS,
                                                  "GetConnectionUnixProcessID"));
    if (!query ||
        !dbus_message_append_args(query.get(), DBUS_TYPE_STRING, &unique_name, DBUS_TYPE_INVALID))
        return nullptr;

    DBusPendingCall *pending = nullptr;
    if (!dbus_connection_send_with_reply(connection, query.get(), &pending, pid_query_timeout_ms) ||
        !pending)
        return nullptr;
    if (!dbus_pending_call_set_notify(pending, on_answer, data, nullptr)) {
        dbus_pending_call_cancel(pending);
        dbus_pending_call_unref(pending);
        return nullptr;
    }
    return pending;
}

int query_answer_pid(DBusPendingCall *pending)
{
    MessagePtr reply(dbus_pending_call_steal_reply(pending));
    int pid = -1;
    dbus_uint32_t value = 0;
    ScopedError error;
    if (reply && dbus_message_get_args(reply.get(), error.get(), DBUS_TYPE_UINT32, &value,
                                       DBUS_TYPE_INVALID))
        pid = static_cast<int>(value);
    LOG_TRACE("[Modify for panel]:get osra-panel pid: %d\n", pid);
    return pid;
}
