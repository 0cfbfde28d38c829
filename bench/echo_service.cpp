// The service on the host bus that every workload calls: Ping() returns
// nothing, Echo(ay) returns its argument, and org.freedesktop.DBus.Properties
// Get and GetAll return small values. Single-threaded and lean, so the path
// under test, not the service, limits the figures.
//
// With --container it owns no name and prints "ready UNIQUE_NAME": it is
// then a client of the proxy that host programs call by its unique name.
// --own NAME owns NAME instead of org.dpdbench.Echo, and --names N
// --name-prefix P also owns P.n0 ... P.n(N-1) and prints "ready
// UNIQUE_NAME": what a peer with many names costs a filtered client's calls.
#include "bench_util.h"

#include <csignal>
#include <cstdio>
#include <string>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int)
{
    stop_requested = 1;
}

void append_string_variant(DBusMessageIter *iter, const char *value)
{
    DBusMessageIter var;
    dbus_message_iter_open_container(iter, DBUS_TYPE_VARIANT, "s", &var);
    dbus_message_iter_append_basic(&var, DBUS_TYPE_STRING, &value);
    dbus_message_iter_close_container(iter, &var);
}

// Two small properties, about the size of a tray item's simple ones.
DBusMessage *properties_reply(DBusMessage *msg, bool all)
{
    DBusMessage *reply = dbus_message_new_method_return(msg);
    if (!reply)
        return nullptr;
    DBusMessageIter iter;
    dbus_message_iter_init_append(reply, &iter);
    if (!all) {
        append_string_variant(&iter, "echo");
        return reply;
    }
    DBusMessageIter dict;
    dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, "{sv}", &dict);
    for (const char *key : {"Name", "Status"}) {
        DBusMessageIter entry;
        dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
        append_string_variant(&entry, key[0] == 'N' ? "echo" : "Active");
        dbus_message_iter_close_container(&dict, &entry);
    }
    dbus_message_iter_close_container(&iter, &dict);
    return reply;
}

DBusHandlerResult on_message(DBusConnection *conn, DBusMessage *msg, void *)
{
    if (dbus_message_get_type(msg) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    DBusMessage *reply = nullptr;
    if (dbus_message_is_method_call(msg, bench::kInterface, "Ping")) {
        reply = dbus_message_new_method_return(msg);
    } else if (dbus_message_is_method_call(msg, bench::kInterface, "Echo")) {
        const unsigned char *bytes = nullptr;
        int len = 0;
        DBusError err;
        dbus_error_init(&err);
        if (dbus_message_get_args(msg, &err, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes, &len,
                                  DBUS_TYPE_INVALID)) {
            reply = dbus_message_new_method_return(msg);
            if (reply)
                dbus_message_append_args(reply, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes, len,
                                         DBUS_TYPE_INVALID);
        } else {
            reply = dbus_message_new_error(msg, err.name, err.message);
        }
        dbus_error_free(&err);
    } else if (dbus_message_is_method_call(msg, DBUS_INTERFACE_PROPERTIES, "Get")) {
        reply = properties_reply(msg, false);
    } else if (dbus_message_is_method_call(msg, DBUS_INTERFACE_PROPERTIES, "GetAll")) {
        reply = properties_reply(msg, true);
    } else {
        reply = dbus_message_new_error(msg, DBUS_ERROR_UNKNOWN_METHOD, "no such method");
    }
    if (reply) {
        dbus_connection_send(conn, reply, nullptr);
        dbus_message_unref(reply);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

} // namespace

int main(int argc, char **argv)
{
    bench::Args args(argc, argv);
    const char *address = args.get("--address", std::getenv("DBUS_SESSION_BUS_ADDRESS"));
    if (!address) {
        std::fprintf(stderr, "usage: echo_service --address BUS_ADDRESS [--container]\n");
        return 2;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);

    DBusConnection *conn = bench::open_registered(address, false);
    if (!conn)
        return 1;
    const bool container = args.flag("--container");
    const char *own = args.get("--own", bench::kService);
    const long names = static_cast<long>(args.num("--names", 0));
    const char *prefix = args.get("--name-prefix", "org.dpdbench.names");
    DBusError err;
    dbus_error_init(&err);
    if (!container && dbus_bus_request_name(conn, own, DBUS_NAME_FLAG_DO_NOT_QUEUE, &err) !=
        DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        std::fprintf(stderr, "cannot own %s: %s\n", own,
                     err.message ? err.message : "name taken");
        return 1;
    }
    // All asked at once; the last answer comes after the others.
    DBusPendingCall *last = nullptr;
    for (long i = 0; i < names; ++i) {
        const std::string name = std::string(prefix) + ".n" + std::to_string(i);
        const char *arg = name.c_str();
        dbus_uint32_t flags = DBUS_NAME_FLAG_DO_NOT_QUEUE;
        DBusMessage *call = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                         DBUS_INTERFACE_DBUS, "RequestName");
        dbus_message_append_args(call, DBUS_TYPE_STRING, &arg, DBUS_TYPE_UINT32, &flags,
                                 DBUS_TYPE_INVALID);
        if (i + 1 < names)
            dbus_connection_send(conn, call, nullptr);
        else
            dbus_connection_send_with_reply(conn, call, &last, 120000);
        dbus_message_unref(call);
    }
    if (last) {
        dbus_pending_call_block(last);
        dbus_pending_call_unref(last);
    }
    dbus_connection_add_filter(conn, on_message, nullptr, nullptr);
    if (container || names)
        std::printf("ready %s\n", dbus_bus_get_unique_name(conn));
    else
        std::printf("ready\n");
    std::fflush(stdout);

    // The timeout only bounds how long a stop request waits to be seen.
    while (!stop_requested && dbus_connection_read_write_dispatch(conn, 200)) {
    }
    bench::close_conn(conn);
    return 0;
}
