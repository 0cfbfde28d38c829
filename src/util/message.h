// Reading the arguments of a message that several filters look at.
#pragma once

#include <dbus/dbus.h>

// The message's first argument when it is a string (owned by the message);
// null otherwise.
inline const char *first_string_arg(DBusMessage *message)
{
    DBusMessageIter iter;
    if (!dbus_message_iter_init(message, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_STRING)
        return nullptr;
    const char *value = nullptr;
    dbus_message_iter_get_basic(&iter, &value);
    return value;
}
