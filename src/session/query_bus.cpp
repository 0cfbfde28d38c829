#include "session/query_bus.h"

#include "session/bus_open.h"

#include <string>
#include <vector>

namespace {

// Lives as long as the process; no destructor runs at exit.
DBusConnection *connection = nullptr;
bool connection_system = false;
std::vector<QueryBusOpened> open_hooks;
std::vector<QueryBusLost> lost_hooks;

dbus_uint32_t hello_serial = 0;

DBusHandlerResult watch_lost(DBusConnection *lost, DBusMessage *message, void *)
{
    if (lost == connection && hello_serial && bus_is_hello_reply(message, hello_serial)) {
        hello_serial = 0;
        std::string error;
        // A refused Hello ends the connection at the bus; the next user
        // notices it is gone and opens another.
        bus_take_hello_reply(message, lost, &error);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    if (!dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected"))
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    // Released by the next query_bus_connection: libdbus still holds it here.
    if (lost == connection)
        for (QueryBusLost fn : lost_hooks)
            fn();
    return DBUS_HANDLER_RESULT_HANDLED;
}

} // namespace

DBusConnection *query_bus_connection(bool system_bus)
{
    if (connection &&
        (!dbus_connection_get_is_connected(connection) || connection_system != system_bus)) {
        dbus_connection_remove_filter(connection, watch_lost, nullptr);
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
        connection = nullptr;
    }
    if (connection)
        return connection;

    std::string error;
    dbus_uint32_t serial = 0;
    DBusConnection *opened = bus_open_async(system_bus, &serial, &error);
    if (!opened)
        return nullptr;
    hello_serial = serial;
    dbus_connection_add_filter(opened, watch_lost, nullptr, nullptr);
    connection = opened;
    connection_system = system_bus;
    for (QueryBusOpened fn : open_hooks)
        fn(opened);
    return connection;
}

void query_bus_on_open(QueryBusOpened fn)
{
    for (QueryBusOpened known : open_hooks)
        if (known == fn)
            return;
    open_hooks.push_back(fn);
}

void query_bus_on_lost(QueryBusLost fn)
{
    for (QueryBusLost known : lost_hooks)
        if (known == fn)
            return;
    lost_hooks.push_back(fn);
}
