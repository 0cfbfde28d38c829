#include "panel/pid_query.h"

#include "log/log.h"
#include "loop/loop.h"
#include "session/query_bus.h"
#include "util/dbus_ptr.h"


unsigned long panel_query_generation = 0;

namespace {

// How long a GetAll may wait for the bus to name its caller's process.
constexpr int pid_query_timeout_ms = 3000;

// A connection opened or lost: verdicts about the names of the bus before
// it no longer hold, since a restarted bus hands the same names out again.
void next_generation(DBusConnection *)
{
    ++panel_query_generation;
}

void bus_lost()
{
    ++panel_query_generation;
}

} // namespace

DBusConnection *panel_query_connection(DBusBusType type)
{
    query_bus_on_open(next_generation);
    query_bus_on_lost(bus_lost);
    return query_bus_connection(type == DBUS_BUS_SYSTEM);
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
