#include "manage/service.h"

#include "log/log.h"
#include "manage/methods.h"
#include "session/query_bus.h"
#include "util/dbus_ptr.h"

#include <glib.h>

#include <algorithm>

namespace {

struct Service {
    const ProxyConfig *daemon = nullptr;
    DBusConnection *connection = nullptr; // the query connection we serve on
    guint retry = 0;
    unsigned retry_ms = 0;
};

// Lives as long as the process, like the main loop.
Service service;

// The first retry comes soon (a bus restart is quick), later ones less often.
constexpr unsigned retry_first_ms = 100;
constexpr unsigned retry_max_ms = 5000;

const char introspection[] =
    DBUS_INTROSPECT_1_0_XML_DOCTYPE_DECL_NODE
    "<node>\n"
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\"><arg name=\"xml\" type=\"s\" direction=\"out\"/></method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "  <method name=\"Ping\"/>\n"
    "  <method name=\"GetMachineId\"><arg name=\"machine_uuid\" type=\"s\" "
    "direction=\"out\"/></method>\n"
    " </interface>\n"
    " <interface name=\"org.dbusproxydaemon.Containers1\">\n"
    "  <method name=\"AddContainer\">\n"
    "   <arg name=\"name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"settings\" type=\"a{sv}\" direction=\"in\"/>\n"
    "   <arg name=\"address\" type=\"s\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"RemoveContainer\">\n"
    "   <arg name=\"name\" type=\"s\" direction=\"in\"/>\n"
    "  </method>\n"
    "  <method name=\"ListContainers\">\n"
    "   <arg name=\"containers\" type=\"a{sa{sv}}\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"GetConnectionContainer\">\n"
    "   <arg name=\"unique_name\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"container\" type=\"s\" direction=\"out\"/>\n"
    "   <arg name=\"metadata\" type=\"a{ss}\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <signal name=\"ContainerAdded\"><arg name=\"name\" type=\"s\"/></signal>\n"
    "  <signal name=\"ContainerRemoved\"><arg name=\"name\" type=\"s\"/></signal>\n"
    " </interface>\n"
    "</node>\n";

void reply_and_forget(DBusConnection *connection, DBusMessage *reply)
{
    if (reply)
        dbus_connection_send(connection, reply, nullptr);
}

bool answer_introspect(DBusConnection *connection, DBusMessage *call, const char *xml)
{
    MessagePtr reply(dbus_message_new_method_return(call));
    if (reply && dbus_message_append_args(reply.get(), DBUS_TYPE_STRING, &xml, DBUS_TYPE_INVALID))
        reply_and_forget(connection, reply.get());
    return true;
}

DBusHandlerResult on_object(DBusConnection *connection, DBusMessage *message, void *)
{
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    if (dbus_message_is_method_call(message, DBUS_INTERFACE_INTROSPECTABLE, "Introspect")) {
        answer_introspect(connection, message, introspection);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    return methods_handle(connection, message);
}

const DBusObjectPathVTable object_vtable = {nullptr, on_object, nullptr, nullptr, nullptr, nullptr};

void on_name_reply(DBusPendingCall *pending, void *)
{
    MessagePtr reply(dbus_pending_call_steal_reply(pending));
    dbus_uint32_t result = 0;
    ScopedError error;
    if (!reply || dbus_set_error_from_message(error.get(), reply.get()) ||
        !dbus_message_get_args(reply.get(), error.get(), DBUS_TYPE_UINT32, &result,
                               DBUS_TYPE_INVALID)) {
        LOG_WARN("cannot own %s: %s\n", manage_bus_name,
                 error.is_set() ? error.message() : "no answer");
        return;
    }
    if (result == DBUS_REQUEST_NAME_REPLY_IN_QUEUE)
        LOG_WARN("%s is owned by another program; queued for it\n", manage_bus_name);
    else
        LOG_INFO("owns %s\n", manage_bus_name);
}

void request_name(DBusConnection *connection)
{
    const char *name = manage_bus_name;
    // Queued, not refused, behind an owner that came first: the name comes
    // to this daemon when the other goes.
    const dbus_uint32_t flags = 0;
    MessagePtr call(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                 DBUS_INTERFACE_DBUS, "RequestName"));
    DBusPendingCall *pending = nullptr;
    if (!call ||
        !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_UINT32, &flags,
                                  DBUS_TYPE_INVALID) ||
        !dbus_connection_send_with_reply(connection, call.get(), &pending,
                                         DBUS_TIMEOUT_USE_DEFAULT) ||
        !pending) {
        LOG_WARN("cannot ask for %s\n", manage_bus_name);
        return;
    }
    dbus_pending_call_set_notify(pending, on_name_reply, nullptr, nullptr);
    // The connection keeps the call until it is answered or the bus goes.
    dbus_pending_call_unref(pending);
}

void on_open(DBusConnection *connection)
{
    if (!service.daemon)
        return;
    service.connection = connection;
    if (!dbus_connection_register_object_path(connection, manage_path, &object_vtable, nullptr))
        LOG_WARN("cannot serve %s\n", manage_path);
    request_name(connection);
}

gboolean retry_open(gpointer)
{
    service.retry = 0;
    if (query_bus_connection(service.daemon->use_system_bus))
        return G_SOURCE_REMOVE; // on_open took it
    service.retry_ms = std::min(service.retry_ms * 2, retry_max_ms);
    service.retry = g_timeout_add(service.retry_ms, retry_open, nullptr);
    return G_SOURCE_REMOVE;
}

// The bus went away: nobody else may ask for a new connection soon, so
// the interface does, until the bus is back. Not from here: libdbus is
// still dispatching the lost connection.
void on_lost()
{
    service.connection = nullptr;
    if (!service.daemon || service.retry)
        return;
    service.retry_ms = retry_first_ms;
    service.retry = g_timeout_add(service.retry_ms, retry_open, nullptr);
}

} // namespace

void manage_start(const ProxyConfig *daemon, const ManageBackend &backend)
{
    service.daemon = daemon;
    methods_init(daemon, backend);
    query_bus_on_open(on_open);
    query_bus_on_lost(on_lost);
    // Another user may have opened it already, before this hook was there.
    DBusConnection *connection = query_bus_connection(daemon->use_system_bus);
    if (!connection)
        on_lost();
    else if (connection != service.connection)
        on_open(connection);
}

void manage_stop()
{
    methods_stop();
    if (service.retry)
        g_source_remove(service.retry);
    service.retry = 0;
}

void manage_emit(const char *member, const std::string &name)
{
    if (!service.connection || !dbus_connection_get_is_connected(service.connection))
        return;
    MessagePtr signal(dbus_message_new_signal(manage_path, manage_interface, member));
    const char *text = name.c_str();
    if (signal &&
        dbus_message_append_args(signal.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID))
        dbus_connection_send(service.connection, signal.get(), nullptr);
}
