#include "relay/undeliverable.h"

#include "log/escape.h"
#include "log/log.h"
#include "util/dbus_ptr.h"

#include <glib.h>

#include <string>

namespace {

const char *const kFdsErrorName = DBUS_ERROR_NOT_SUPPORTED;
const char *const kMemoryErrorName = DBUS_ERROR_NO_MEMORY;

// Descriptors are the one thing a valid message can carry that a
// connection may be unable to take; anything else is a lack of memory.
bool blocked_by_fds(DBusConnection *target, DBusMessage *message)
{
    return dbus_message_contains_unix_fds(message) &&
           !dbus_connection_can_send_type(target, DBUS_TYPE_UNIX_FD);
}

// How the warning names the message: a call or signal by its member, a
// reply by the call it answers.
std::string describe(DBusMessage *message)
{
    const std::string sender = log_escape(dbus_message_get_sender(message));
    switch (dbus_message_get_type(message)) {
    case DBUS_MESSAGE_TYPE_METHOD_RETURN:
    case DBUS_MESSAGE_TYPE_ERROR:
        return "reply to call " + std::to_string(dbus_message_get_reply_serial(message)) +
               " from " + sender;
    default:
        return std::string(dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_SIGNAL ? "signal"
                                                                                      : "call") +
               " " + log_escape(dbus_message_get_interface(message)) + "." +
               log_escape(dbus_message_get_member(message)) + " from " + sender;
    }
}

// One warning a second at most: a peer emitting descriptors in a loop
// must not flood the log.
void warn_limited(const char *direction, DBusMessage *message, const char *reason)
{
    static gint64 last_warning = 0;
    static unsigned suppressed = 0;
    const gint64 now = g_get_monotonic_time();
    if (last_warning != 0 && now - last_warning < G_USEC_PER_SEC) {
        ++suppressed;
        return;
    }
    last_warning = now;
    LOG_WARN("[%s]Cannot pass the %s: %s (%u more not passed since the last warning)\n",
             direction, describe(message).c_str(), reason, suppressed);
    suppressed = 0;
}

void send_error(DBusConnection *connection, DBusMessage *error)
{
    static LogLimit failures;
    if (!dbus_connection_send(connection, error, nullptr))
        LOG_LIMITED(&failures, LOG_LEVEL_WARN,
                    "Cannot send the error reply for an undeliverable message: out of memory\n");
}

// An error that answers the same call as `reply`, which could not be sent.
MessagePtr error_in_place_of(DBusMessage *reply, const char *name, const char *text)
{
    MessagePtr error(dbus_message_new(DBUS_MESSAGE_TYPE_ERROR));
    if (!error || !dbus_message_set_error_name(error.get(), name) ||
        !dbus_message_set_reply_serial(error.get(), dbus_message_get_reply_serial(reply)) ||
        !dbus_message_set_sender(error.get(), dbus_message_get_sender(reply)) ||
        !dbus_message_set_destination(error.get(), dbus_message_get_destination(reply)) ||
        !dbus_message_append_args(error.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID))
        return MessagePtr();
    dbus_message_set_no_reply(error.get(), TRUE);
    return error;
}

} // namespace

void relay_undeliverable(ConnectionPair *pair, DBusConnection *target, DBusMessage *message)
{
    const bool to_client = target == pair->client;
    const char *direction = to_client ? "SERVICE:" : "CLIENT:";
    const int type = dbus_message_get_type(message);
    const bool fds = blocked_by_fds(target, message);
    const char *name = fds ? kFdsErrorName : kMemoryErrorName;
    const char *reason = fds ? (to_client ? "it carries file descriptors, which the client's "
                                            "connection cannot pass"
                                          : "it carries file descriptors, which the bus "
                                            "connection cannot pass")
                             : "out of memory";
    warn_limited(direction, message, reason);

    switch (type) {
    case DBUS_MESSAGE_TYPE_METHOD_RETURN:
    case DBUS_MESSAGE_TYPE_ERROR: {
        // The caller is on `target`: it still gets an answer to its call.
        const char *text = fds ? "The reply carried file descriptors, which this connection "
                                 "cannot pass"
                               : "The reply could not be relayed: out of memory";
        MessagePtr error = error_in_place_of(message, name, text);
        if (error)
            send_error(target, error.get());
        break;
    }
    case DBUS_MESSAGE_TYPE_METHOD_CALL: {
        if (dbus_message_get_no_reply(message))
            break;
        // The caller is on the other connection; answer it there.
        const char *text = fds ? "The call carried file descriptors, which the receiving "
                                 "connection cannot pass"
                               : "The call could not be relayed: out of memory";
        MessagePtr error(dbus_message_new_error(message, name, text));
        if (!error)
            break;
        // To the client the proxy stands for the bus, which answers calls
        // that cannot be delivered.
        if (!to_client && !dbus_message_set_sender(error.get(), DBUS_SERVICE_DBUS))
            break;
        send_error(to_client ? pair->server : pair->client, error.get());
        break;
    }
    default:
        break; // nobody waits for a signal
    }
}
