// Feeds arbitrary messages to the panel reply adaptation as a client's answer
// to a recorded panel GetAll.
#include "log/log.h"
#include "main/config.h"
#include "panel/panel.h"
#include "panel/records.h"
#include "session/pair.h"

#include <dbus/dbus.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// A server nobody dispatches: substitutes sent to it wait in the outgoing
// queue of the pair's connection, which is renewed every few hundred inputs.
// So is the server: the connections it never accepts fill its listen
// backlog, after which no new one could be opened.
DBusServer *sink = nullptr;
ProxyConfig config;
ConnectionPair *pair = nullptr;
int uses = 0;

DBusConnection *open_sink_connection()
{
    char *address = dbus_server_get_address(sink);
    DBusConnection *c = dbus_connection_open_private(address, nullptr);
    dbus_free(address);
    if (!c)
        std::abort();
    return c;
}

void renew_pair()
{
    if (pair) {
        dbus_connection_close(pair->client);
        dbus_connection_unref(pair->client);
        dbus_connection_close(pair->server);
        dbus_connection_unref(pair->server);
        std::free(pair);
    }
    if (sink) {
        dbus_server_disconnect(sink);
        dbus_server_unref(sink);
    }
    sink = dbus_server_listen("unix:tmpdir=/tmp", nullptr);
    if (!sink)
        std::abort();
    pair = pair_new(open_sink_connection());
    pair->server = open_sink_connection();
    pair->config = &config;
    pair->hello_done = 1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    config_init(&config);
    // The log goes to standard output; libFuzzer reports on standard error.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1 << 16))
        return 0;
    DBusMessage *message =
        dbus_message_demarshal(reinterpret_cast<const char *>(data), static_cast<int>(size),
                               nullptr);
    if (!message)
        return 0;
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_RETURN) {
        dbus_message_unref(message);
        return 0;
    }
    // A reply without a destination could never match a record; give it
    // the panel's name so the body is still looked at.
    if (!dbus_message_get_destination(message) &&
        !dbus_message_set_destination(message, ":1.7")) {
        dbus_message_unref(message);
        return 0;
    }
    if (!pair || ++uses % 256 == 0)
        renew_pair();
    // Every other input also formats the log lines, which print the
    // message's own texts.
    log_verbosity = (size & 1) != 0 ? LOG_LEVEL_TRACE : LOG_LEVEL_FATAL;

    if (panel_serial_add(pair, dbus_message_get_reply_serial(message),
                         dbus_message_get_destination(message)) != 0)
        std::abort();
    adapt_panel_reply(pair, message);
    // Whatever the outcome, the record was answered and must be gone.
    if (panel_serial_contains(pair, dbus_message_get_reply_serial(message),
                              dbus_message_get_destination(message)))
        std::abort();
    forget_panel_calls(pair);
    if (panel_call_serials)
        std::abort();
    dbus_message_unref(message);
    return 0;
}
