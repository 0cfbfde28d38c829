#include "panel/properties.h"

#include "log/log.h"
#include "panel/adapt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

const char *const icon_name_keys[icon_name_key_count] = {"IconName", "AttentionIconName",
                                                         "OverlayIconName"};

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

int icon_name_index(const char *key)
{
    for (int i = 0; i < icon_name_key_count; ++i)
        if (std::strcmp(key, icon_name_keys[i]) == 0)
            return i;
    return -1;
}

bool is_shared(const char *text)
{
    return match_path_prefix(text, shared_path_prefixes, shared_path_prefix_count) >= 0;
}

// The directory in which the panel looks a themed icon name up: only an
// absolute one names a place in the container's file system.
bool theme_path_needs_prefix(const char *text)
{
    return text[0] == '/' && !is_shared(text);
}

const char *string_value(DBusMessageIter *value)
{
    const char *text = nullptr;
    if (dbus_message_iter_get_arg_type(value) == DBUS_TYPE_STRING)
        dbus_message_iter_get_basic(value, &text);
    return text;
}

void log_unsupported(int type, const char *key)
{
    LOG_FATAL("[Modify for panel] - Unsupported type: %c for key %s\n", type, key);
}

// Appends the complete value at `from` to `to`: same signature, same bytes.
// Arrays of fixed-size elements (the pixmaps' bytes) go across in one block.
// Only a unix descriptor cannot be copied: a message holds it as an index
// into descriptors that the substitute does not carry.
bool copy_value(DBusMessageIter *from, DBusMessageIter *to, const char *key)
{
    const int type = dbus_message_iter_get_arg_type(from);
    if (type == DBUS_TYPE_UNIX_FD) {
        log_unsupported(type, key);
        return false;
    }
    if (dbus_type_is_basic(type)) {
        DBusBasicValue copy;
        dbus_message_iter_get_basic(from, &copy);
        if (dbus_message_iter_append_basic(to, type, &copy))
            return true;
        LOG_FATAL("[Modify for panel] - Failed to copy value for key %s\n", key);
        return false;
    }

    DBusMessageIter inner, copy;
    dbus_message_iter_recurse(from, &inner);
    char *signature = nullptr; // an array's own, or the variant content's
    const char *contained = nullptr;
    if (type == DBUS_TYPE_ARRAY || type == DBUS_TYPE_VARIANT) {
        signature = dbus_message_iter_get_signature(type == DBUS_TYPE_ARRAY ? from : &inner);
        if (!signature) {
            LOG_FATAL("[Modify for panel] - Failed to copy value for key %s\n", key);
            return false;
        }
        contained = type == DBUS_TYPE_ARRAY ? signature + 1 : signature;
    }
    const bool opened = dbus_message_iter_open_container(to, type, contained, &copy);
    dbus_free(signature);
    if (!opened) {
        LOG_FATAL("[Modify for panel] - Failed to copy value for key %s\n", key);
        return false;
    }

    bool copied = true;
    const int element = type == DBUS_TYPE_ARRAY ? dbus_message_iter_get_element_type(from)
                                                : DBUS_TYPE_INVALID;
    if (dbus_type_is_fixed(element) && element != DBUS_TYPE_UNIX_FD) {
        const void *block = nullptr;
        int count = 0;
        dbus_message_iter_get_fixed_array(&inner, &block, &count);
        copied = dbus_message_iter_append_fixed_array(&copy, element, &block, count);
        if (!copied)
            LOG_FATAL("[Modify for panel] - Failed to copy value for key %s\n", key);
    } else {
        for (; copied && dbus_message_iter_get_arg_type(&inner) != DBUS_TYPE_INVALID;
             dbus_message_iter_next(&inner))
            copied = copy_value(&inner, &copy, key);
    }
    if (!copied) {
        dbus_message_iter_abandon_container(to, &copy);
        return false;
    }
    if (!dbus_message_iter_close_container(to, &copy)) {
        LOG_FATAL("[Modify for panel] - Failed to copy value for key %s\n", key);
        return false;
    }
    return true;
}

bool write_icon_entry(const char *key, DBusMessageIter *value, DBusMessageIter *entry,
                      const char *prefix)
{
    // IconName keeps the words it has always been logged with.
    if (std::strcmp(key, "IconName") == 0)
        LOG_TRACE("[modifying IconThemePath]\n");
    else
        LOG_TRACE("[modifying %s]\n", key);
    char text[panel_icon_text_size];
    std::memset(text, 0, sizeof text);
    const char *icon = string_value(value);
    if (!icon) {
        LOG_TRACE("[Modify for panel] %s is NULL!!!!!!\n", key);
        return false;
    }
    format_icon_text(text, icon, prefix);

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
    if (type == DBUS_TYPE_UNIX_FD) {
        log_unsupported(type, key);
        return false;
    }
    // The six basic types of most properties need no allocated signature.
    const char letter[] = {static_cast<char>(type), '\0'};
    char *signature = dbus_type_is_basic(type) ? nullptr : dbus_message_iter_get_signature(value);
    DBusMessageIter variant;
    const bool opened = (signature || dbus_type_is_basic(type)) &&
                        dbus_message_iter_open_container(entry, DBUS_TYPE_VARIANT,
                                                         signature ? signature : letter, &variant);
    dbus_free(signature);
    if (!opened) {
        LOG_FATAL("[Modify for panel] - Failed to open variant container\n");
        return false;
    }
    if (!copy_value(value, &variant, key)) {
        dbus_message_iter_abandon_container(entry, &variant);
        return false;
    }
    if (!dbus_message_iter_close_container(entry, &variant)) {
        LOG_FATAL("[Modify for panel] - Failed to close variant container\n");
        return false;
    }
    return true;
}

} // namespace

void format_icon_text(char *out, const char *icon, const char *prefix)
{
    // A prefix that leaves no room for the icon is cut like the icon would be.
    const std::size_t prefix_len = std::min(std::strlen(prefix), panel_icon_text_size - 1);
    constexpr std::size_t limit = panel_icon_text_size - 1;
    std::snprintf(out, panel_icon_text_size, "%s%s", prefix, icon);
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

int plan_icon_entries(DBusMessage *reply, IconPlan *plan)
{
    *plan = IconPlan{};
    DBusMessageIter entries;
    switch (open_dictionary(reply, &entries)) {
    case Dictionary::not_array:
        LOG_TRACE("[Modify for panel]Reply is not an array\n");
        return 0;
    case Dictionary::other_array:
        return 0;
    case Dictionary::properties:
        break;
    }

    // Stepping over a value reads no more than its lengths: the pixmaps'
    // bytes are not touched here.
    for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&entries)) {
        DBusMessageIter value;
        const char *key = read_entry(&entries, &value);
        const int index = icon_name_index(key);
        const char *text = index >= 0 || std::strcmp(key, "IconThemePath") == 0
                               ? string_value(&value)
                               : nullptr;
        if (!text)
            continue;
        if (index < 0) {
            LOG_TRACE("[Modify for panel]  %s = %s\n", key, text);
            plan->theme_path = plan->theme_path || theme_path_needs_prefix(text);
        } else if (!plan->first[index]) {
            LOG_TRACE("[Modify for panel]  %s = %s\n", key, text);
            plan->first[index] = text;
            plan->prefixed[index] = std::strchr(text, '/') && !is_shared(text);
        }
    }
    bool any = plan->theme_path;
    for (bool prefixed : plan->prefixed)
        any = any || prefixed;
    return any ? 1 : 0;
}

const char *find_icon_name_path(DBusMessage *reply)
{
    IconPlan plan;
    plan_icon_entries(reply, &plan);
    const char *icon = plan.first[0];
    return icon && std::strchr(icon, '/') ? icon : nullptr;
}

int rebuild_properties_reply(DBusMessage *source, DBusMessage *target, const IconPlan &plan,
                             const char *prefix)
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
        const int index = icon_name_index(key);
        const char *theme_path =
            plan.theme_path && std::strcmp(key, "IconThemePath") == 0 ? string_value(&value)
                                                                      : nullptr;
        const bool icon = (index >= 0 && plan.prefixed[index]) ||
                          (theme_path && theme_path_needs_prefix(theme_path));
        const bool written =
            icon ? write_icon_entry(key, &value, &entry, prefix) : copy_entry(key, &value, &entry);
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
