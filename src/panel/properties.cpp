#include "panel/properties.h"

#include "log/log.h"

#include <cstdio>
#include <cstring>

namespace {

enum class Dictionary { not_array, other_array, properties };

// Points `entries` at the elements of the message's first argument when that
// is an a{sv}. Only then may the walk below enter elements as dict entries:
// libdbus aborts the process on a recurse into anything else.
Dictionary open_dictionary(DBusMessage *message, DBusMessageIter *entries)
{
    DBusMessageIter args;
    if (!dbus_message_iter_init(message, &args) ||
        dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_ARRAY)
        return Dictionary::not_array;
    char *signature = dbus_message_iter_get_signature(&args);
    const bool properties = signature && std::strcmp(signature, "a{sv}") == 0;
    dbus_free(signature);
    if (!properties)
        return Dictionary::other_array;
    dbus_message_iter_recurse(&args, entries);
    return Dictionary::properties;
}

// Enters one dict entry: its key, and `value` pointing into its variant.
const char *read_entry(DBusMessageIter *entries, DBusMessageIter *value)
{
    DBusMessageIter entry;
    dbus_message_iter_recurse(entries, &entry);
    const char *key = nullptr;
    dbus_message_iter_get_basic(&entry, &key);
    dbus_message_iter_next(&entry);
    dbus_message_iter_recurse(&entry, value);
    return key;
}

bool is_copied_type(int type)
{
    switch (type) {
    case DBUS_TYPE_UINT32:
    case DBUS_TYPE_STRING:
    case DBUS_TYPE_OBJECT_PATH:
    case DBUS_TYPE_INT32:
    case DBUS_TYPE_BOOLEAN:
    case DBUS_TYPE_DOUBLE:
        return true;
    default:
        return false;
    }
}

bool write_icon_entry(const char *key, DBusMessageIter *value, DBusMessageIter *entry)
{
    LOG_TRACE("[modifying IconThemePath]\n");
    char text[panel_icon_text_size];
    std::memset(text, 0, sizeof text);
    const char *icon = nullptr;
    if (dbus_message_iter_get_arg_type(value) == DBUS_TYPE_STRING)
        dbus_message_iter_get_basic(value, &icon);
    if (!icon) {
        LOG_TRACE("[Modify for panel] IconName is NULL!!!!!!\n");
        return false;
    }
    format_icon_text(text, icon);

    dbus_message_iter_append_basic(entry, DBUS_TYPE_STRING, &key);
    DBusMessageIter variant;
    if (!dbus_message_iter_open_container(entry, DBUS_TYPE_VARIANT, "s", &variant)) {
        LOG_FATAL("Failed to open variant container for IconThemePath\n");
        return false;
    }
    const char *rewritten = text;
    dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &rewritten);
    if (!dbus_message_iter_close_container(entry, &variant)) {
        LOG_FATAL("Failed to close variant container for IconThemePath\n");
        return false;
    }
    return true;
}

bool copy_entry(const char *key, DBusMessageIter *value, DBusMessageIter *entry)
{
    dbus_message_iter_append_basic(entry, DBUS_TYPE_STRING, &key);
    const int type = dbus_message_iter_get_arg_type(value);
    if (!is_copied_type(type)) {
        LOG_FATAL("[Modify for panel] - Unsupported type: %c for key %s\n", type, key);
        return false;
    }
    const char signature[] = {static_cast<char>(type), '\0'};
    DBusMessageIter variant;
    if (!dbus_message_iter_open_container(entry, DBUS_TYPE_VARIANT, signature, &variant)) {
        LOG_FATAL("[Modify for panel] - Failed to open variant container\n");
        return false;
    }
    DBusBasicValue copy;
    dbus_message_iter_get_basic(value, &copy);
    dbus_message_iter_append_basic(&variant, type, &copy);
    if (!dbus_message_iter_close_container(entry, &variant)) {
        LOG_FATAL("[Modify for panel] - Failed to close variant container\n");
        return false;
    }
    return true;
}

} // namespace

void format_icon_text(char *out, const char *icon)
{
    constexpr std::size_t prefix_len = sizeof panel_icon_prefix - 1;
    constexpr std::size_t limit = panel_icon_text_size - 1;
    std::snprintf(out, panel_icon_text_size, "%s%s", panel_icon_prefix, icon);
    if (prefix_len + std::strlen(icon) <= limit)
        return;
    // A string that is not valid UTF-8 makes libdbus abort the process on
    // append: never keep the head of a character whose tail is cut off.
    std::size_t cut = limit;
    while (cut > prefix_len &&
           (static_cast<unsigned char>(icon[cut - prefix_len]) & 0xC0) == 0x80)
        --cut;
    std::memset(out + cut, 0, panel_icon_text_size - cut);
}

const char *find_icon_name_path(DBusMessage *reply)
{
    DBusMessageIter entries;
    switch (open_dictionary(reply, &entries)) {
    case Dictionary::not_array:
        LOG_TRACE("[Modify for panel]Reply is not an array\n");
        return nullptr;
    case Dictionary::other_array:
        return nullptr;
    case Dictionary::properties:
        break;
    }

    const char *icon = nullptr;
    for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&entries)) {
        DBusMessageIter value;
        const char *key = read_entry(&entries, &value);
        if (std::strcmp(key, "IconName") == 0 &&
            dbus_message_iter_get_arg_type(&value) == DBUS_TYPE_STRING) {
            dbus_message_iter_get_basic(&value, &icon);
            LOG_TRACE("[Modify for panel]  %s = %s\n", key, icon);
            break;
        }
    }
    return icon && std::strchr(icon, '/') ? icon : nullptr;
}

int rebuild_properties_reply(DBusMessage *source, DBusMessage *target)
{
    DBusMessageIter entries;
    switch (open_dictionary(source, &entries)) {
    case Dictionary::not_array:
        LOG_TRACE("[Modify for panel] - Source is not an array\n");
        return 0;
    case Dictionary::other_array:
        return 0;
    case Dictionary::properties:
        break;
    }

    DBusMessageIter args, array;
    dbus_message_iter_init_append(target, &args);
    if (!dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &array)) {
        LOG_FATAL("[Modify for panel]  - Failed to open destination container\n");
        return 0;
    }
    for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&entries)) {
        DBusMessageIter entry;
        if (!dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY, nullptr, &entry)) {
            LOG_FATAL("[Modify for panel] - Failed to open dict entry container\n");
            dbus_message_iter_abandon_container(&args, &array);
            return 0;
        }
        DBusMessageIter value;
        const char *key = read_entry(&entries, &value);
        const bool written = std::strcmp(key, "IconName") == 0
                                 ? write_icon_entry(key, &value, &entry)
                                 : copy_entry(key, &value, &entry);
        if (!written) {
            dbus_message_iter_abandon_container(&array, &entry);
            dbus_message_iter_abandon_container(&args, &array);
            return 0;
        }
        if (!dbus_message_iter_close_container(&array, &entry)) {
            LOG_FATAL("[Modify for panel] - Failed to close dict entry container\n");
            dbus_message_iter_abandon_container(&args, &array);
            return 0;
        }
    }
    if (!dbus_message_iter_close_container(&args, &array)) {
        LOG_FATAL("[Modify for panel] - Failed to close dict container\n");
        return 0;
    }
    return 1;
}
