#include "panel/pid_query.h"

#include "log/log.h"
#include "loop/loop.h"
#include "util/dbus_ptr.h"

namespace {

// How long the whole daemon may wait for the bus to name a caller's process.
constexpr int pid_query_timeout_ms = 3000;

// Lives as long as the process; no destructor runs at exit.
DBusConnection *query_connection = nullptr;
DBusBusType query_bus_type = DBUS_BUS_SESSION;

} // namespace

DBusConnection *panel_query_connection(DBusBusType type)
{
    if (query_connection &&
        (!dbus_connection_get_is_connected(query_connection) || query_bus_type != type)) {
        dbus_connection_close(query_connection);
        dbus_connection_unref(query_connection);
        query_connection = nullptr;
    }
    if (query_connection)
        return query_connection;

    ScopedError error;
    query_connection = dbus_bus_get_private(type, error.get());
    if (!query_connection)
        return nullptr;
    query_bus_type = type;
    // Losing the bus must not end the daemon; the next query reconnects.
    dbus_connection_set_exit_on_disconnect(query_connection, FALSE);
    // Dispatched by the main loop like every other connection, so whatever
    // the bus sends here (NameAcquired, stray calls) is consumed, not queued.
    loop_attach_connection(query_connection);
    return query_connection;
}

int query_connection_pid(DBusConnection *connection, const char *unique_name)
{
    if (!unique_name || !connection)
        return -1;
    MessagePtr query(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                  DBUS_INTERFACE_DBUS,
                                                  "GetConnectionUnixProcessID"));
    if (!query)
        return -1;
    dbus_message_append_args(query.get(), DBUS_TYPE_STRING, &unique_name, DBUS_TYPE_INVALID);

    DBusPendingCall *raw_pending = nullptr;
    dbus_connection_send_with_reply(connection, query.get(), &raw_pending, pid_query_timeout_ms);
    PendingCallPtr pending(raw_pending);
    dbus_connection_flush(connection);
    if (!pending)
        return -1;

    dbus_pending_call_block(pending.get());
    MessagePtr reply(dbus_pending_call_steal_reply(pending.get()));
    if (!reply)
        return -1;
    int pid = -1;
    dbus_uint32_t value = 0;
    ScopedError error;
    if (dbus_message_get_args(reply.get(), error.get(), DBUS_TYPE_UINT32, &value,
                              DBUS_TYPE_INVALID))
        pid = static_cast<int>(value);
    LOG_TRACE("[Modify for panel]:get osra-panel pid: %d\n", pid);
    return pid;
}

