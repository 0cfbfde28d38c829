// Builds the a{sv} of AddContainer in tests: any key, any of the types a
// caller might send, right or wrong.
#pragma once

#include <dbus/dbus.h>

#include <string>
#include <vector>

namespace harness {

// One entry: its key, the variant's signature and its values ("as": the
// items; "a{ss}": key, value, key, value...; "b": "true" or "false"; "s"
// and "u": one).
struct Setting {
    std::string key;
    std::string signature;
    std::vector<std::string> values;
};

inline void append_setting(DBusMessageIter *dict, const Setting &s)
{
    DBusMessageIter entry, variant, array;
    const char *key = s.key.c_str();
    dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, s.signature.c_str(), &variant);
    if (s.signature == "s") {
        const char *v = s.values.at(0).c_str();
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &v);
    } else if (s.signature == "b") {
        dbus_bool_t v = s.values.at(0) == "true";
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &v);
    } else if (s.signature == "u") {
        dbus_uint32_t v = std::stoul(s.values.at(0));
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_UINT32, &v);
    } else if (s.signature == "as") {
        dbus_message_iter_open_container(&variant, DBUS_TYPE_ARRAY, "s", &array);
        for (const std::string &item : s.values) {
            const char *v = item.c_str();
            dbus_message_iter_append_basic(&array, DBUS_TYPE_STRING, &v);
        }
        dbus_message_iter_close_container(&variant, &array);
    } else if (s.signature == "a{ss}") {
        dbus_message_iter_open_container(&variant, DBUS_TYPE_ARRAY, "{ss}", &array);
        for (size_t i = 0; i + 1 < s.values.size(); i += 2) {
            DBusMessageIter pair;
            const char *k = s.values[i].c_str(), *v = s.values[i + 1].c_str();
            dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY, nullptr, &pair);
            dbus_message_iter_append_basic(&pair, DBUS_TYPE_STRING, &k);
            dbus_message_iter_append_basic(&pair, DBUS_TYPE_STRING, &v);
            dbus_message_iter_close_container(&array, &pair);
        }
        dbus_message_iter_close_container(&variant, &array);
    }
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(dict, &entry);
}

// Appends the whole a{sv} to `message`.
inline void append_settings(DBusMessage *message, const std::vector<Setting> &settings)
{
    DBusMessageIter iter, dict;
    dbus_message_iter_init_append(message, &iter);
    dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, "{sv}", &dict);
    for (const Setting &setting : settings)
        append_setting(&dict, setting);
    dbus_message_iter_close_container(&iter, &dict);
}

} // namespace harness
