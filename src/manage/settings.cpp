#include "manage/settings.h"

#include <cstring>
#include <set>
#include <string_view>
#include <vector>

namespace {

// A line break or any other control byte: lines are the unit of the file
// format, and the log and the audit print these values.
bool has_control_byte(std::string_view value)
{
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7f)
            return true;
    return false;
}

bool checked(std::string_view key, std::string_view value, std::string *error)
{
    if (!has_control_byte(value))
        return true;
    *error = std::string(key) + ": a value must not hold a line break or other control character";
    return false;
}

// The file format ends a line at '#' (metadata lines aside): such a value
// would be cut short without a word.
bool no_comment_mark(std::string_view key, std::string_view value, std::string *error)
{
    if (value.find('#') == std::string_view::npos)
        return true;
    *error = std::string(key) + ": a value must not hold '#'";
    return false;
}

std::string signature_of(DBusMessageIter *variant)
{
    char *text = dbus_message_iter_get_signature(variant);
    std::string signature = text ? text : "";
    dbus_free(text);
    return signature;
}

std::vector<std::string> string_array(DBusMessageIter *variant)
{
    std::vector<std::string> out;
    DBusMessageIter items;
    dbus_message_iter_recurse(variant, &items);
    for (; dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_STRING;
         dbus_message_iter_next(&items)) {
        const char *item = nullptr;
        dbus_message_iter_get_basic(&items, &item);
        out.emplace_back(item);
    }
    return out;
}

const char *basic_string(DBusMessageIter *variant)
{
    const char *value = nullptr;
    dbus_message_iter_get_basic(variant, &value);
    return value;
}

// A policy entry is a rule line and nothing else: "listen ..." or
// "metadata ..." among the rules would set what the key does not cover.
bool policy_line(std::string_view line)
{
    static constexpr std::string_view kinds[] = {"see", "talk", "own", "call", "broadcast"};
    for (std::string_view kind : kinds)
        if (line.size() > kind.size() && line.substr(0, kind.size()) == kind &&
            (line[kind.size()] == ' ' || line[kind.size()] == '\t'))
            return true;
    return false;
}

bool one_setting(const char *key, DBusMessageIter *variant, std::string *lines,
                 std::string *error)
{
    const std::string signature = signature_of(variant);
    auto wrong_type = [&](const char *wanted) {
        *error = std::string(key) + ": wanted type '" + wanted + "', got '" + signature + "'";
        return false;
    };
    const std::string_view name = key;

    if (name == "listen") {
        if (signature != "as")
            return wrong_type("as");
        const std::vector<std::string> addresses = string_array(variant);
        if (addresses.empty()) {
            *error = "listen: no address (leave the key out for a socket the daemon makes)";
            return false;
        }
        for (const std::string &address : addresses) {
            if (!checked(key, address, error) || !no_comment_mark(key, address, error))
                return false;
            *lines += "listen " + address + "\n";
        }
        return true;
    }
    if (name == "namespace" || name == "activation-list" || name == "panel-prefix" ||
        name == "audit") {
        if (signature != "s")
            return wrong_type("s");
        const char *value = basic_string(variant);
        if (!checked(key, value, error) || !no_comment_mark(key, value, error))
            return false;
        if (name == "audit" && !*value) {
            *lines += "audit\n";
            return true;
        }
        if (!*value) {
            *error = std::string(key) + ": empty value";
            return false;
        }
        *lines += std::string(key) + " " + value + "\n";
        return true;
    }
    if (name == "lookups") {
        if (signature != "b")
            return wrong_type("b");
        dbus_bool_t on = FALSE;
        dbus_message_iter_get_basic(variant, &on);
        if (on)
            *lines += "lookups\n";
        return true;
    }
    if (name == "policy") {
        if (signature != "as")
            return wrong_type("as");
        *lines += "filter\n";
        for (const std::string &rule : string_array(variant)) {
            if (!checked(key, rule, error) || !no_comment_mark(key, rule, error))
                return false;
            if (!policy_line(rule)) {
                *error = "policy: '" + rule +
                         "' is not a rule (see, talk, own, call or broadcast and its name)";
                return false;
            }
            *lines += rule + "\n";
        }
        return true;
    }
    if (name == "metadata") {
        if (signature != "a{ss}")
            return wrong_type("a{ss}");
        DBusMessageIter entries;
        dbus_message_iter_recurse(variant, &entries);
        for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY;
             dbus_message_iter_next(&entries)) {
            DBusMessageIter entry;
            dbus_message_iter_recurse(&entries, &entry);
            const char *meta_key = basic_string(&entry);
            dbus_message_iter_next(&entry);
            const char *meta_value = basic_string(&entry);
            if (!checked(key, meta_key, error) || !checked(key, meta_value, error))
                return false;
            // The file splits KEY=VALUE at the first '='.
            if (!*meta_key || std::strchr(meta_key, '=')) {
                *error = std::string("metadata: the key '") + meta_key +
                         "' is empty or holds '='";
                return false;
            }
            *lines += std::string("metadata ") + meta_key + "=" + meta_value + "\n";
        }
        return true;
    }
    *error = std::string("unknown setting '") + key +
             "' (known: listen, namespace, activation-list, panel-prefix, lookups, audit, "
             "policy, metadata)";
    return false;
}

} // namespace

bool settings_to_lines(DBusMessageIter *iter, std::string *lines, std::string *error)
{
    lines->clear();
    if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_ARRAY ||
        signature_of(iter) != "a{sv}") {
        *error = "settings: wanted type 'a{sv}'";
        return false;
    }
    std::set<std::string> seen;
    DBusMessageIter entries;
    dbus_message_iter_recurse(iter, &entries);
    for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&entries)) {
        DBusMessageIter entry, variant;
        dbus_message_iter_recurse(&entries, &entry);
        const char *key = basic_string(&entry);
        dbus_message_iter_next(&entry);
        dbus_message_iter_recurse(&entry, &variant);
        if (!checked("settings", key, error))
            return false;
        if (!seen.insert(key).second) {
            *error = std::string(key) + ": given twice";
            return false;
        }
        if (!one_setting(key, &variant, lines, error))
            return false;
    }
    return true;
}

