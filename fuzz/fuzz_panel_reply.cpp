// Feeds arbitrary messages to the panel reply adaptation as a client's answer
// to a recorded panel GetAll.
#include "log/log.h"
#include "config/config.h"
#include "panel/panel.h"
#include "panel/records.h"
#include "session/pair.h"
#include "sink_pair.h"

#include <dbus/dbus.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

ProxyConfig config;
SinkPair sink_pair(&config);

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
    ConnectionPair *pair = sink_pair.get();
    // Every other input also formats the log lines, which print the
    // message's own texts.
    log_verbosity = (size & 1) != 0 ? LOG_LEVEL_TRACE : LOG_LEVEL_FATAL;

    if (panel_record_add(pair, dbus_message_get_reply_serial(message),
                         dbus_message_get_destination(message)) != 0)
        std::abort();
    adapt_panel_reply(pair, message);
    // Whatever the outcome, the record was answered and must be gone.
    if (panel_record_contains(pair, dbus_message_get_reply_serial(message),
                              dbus_message_get_destination(message)))
        std::abort();
    forget_panel_calls(pair);
    if (panel_call_serials)
        std::abort();
    dbus_message_unref(message);
    return 0;
}
