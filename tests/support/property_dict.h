// Writing and reading a{sv} property dictionaries, for building replies in
// tests and comparing what arrives.
#pragma once

#include <dbus/dbus.h>

#include <cstdio>
#include <string>
#include <vector>

namespace harness {

// Appends an a{sv} dictionary to a message, one entry per call.
class DictWriter {
public:
    explicit DictWriter(DBusMessage *message)
    {
        dbus_message_iter_init_append(message, &args_);
        dbus_message_iter_open_container(&args_, DBUS_TYPE_ARRAY, "{sv}", &array_);
    }
    DictWriter &str(const char *key, const char *value) { return basic(key, DBUS_TYPE_STRING, &value); }
    DictWriter &path(const char *key, const char *value)
    {
        return basic(key, DBUS_TYPE_OBJECT_PATH, &value);
    }
    DictWriter &u32(const char *key, dbus_uint32_t value) { return basic(key, DBUS_TYPE_UINT32, &value); }
    DictWriter &i32(const char *key, dbus_int32_t value) { return basic(key, DBUS_TYPE_INT32, &value); }
    DictWriter &boolean(const char *key, bool value)
    {
        dbus_bool_t b = value;
        return basic(key, DBUS_TYPE_BOOLEAN, &b);
    }
    DictWriter &dbl(const char *key, double value) { return basic(key, DBUS_TYPE_DOUBLE, &value); }
    DictWriter &i64(const char *key, dbus_int64_t value) { return basic(key, DBUS_TYPE_INT64, &value); }
    // A value of type "as".
    DictWriter &strings(const char *key, const std::vector<const char *> &values)
    {
        DBusMessageIter entry, variant, array;
        open_entry(key, "as", &entry, &variant);
        dbus_message_iter_open_container(&variant, DBUS_TYPE_ARRAY, "s", &array);
        for (const char *v : values)
            dbus_message_iter_append_basic(&array, DBUS_TYPE_STRING, &v);
        dbus_message_iter_close_container(&variant, &array);
        close_entry(&entry, &variant);
        return *this;
    }
    // A value of type "(ii)".
    DictWriter &pair_of_ints(const char *key, dbus_int32_t a, dbus_int32_t b)
    {
        DBusMessageIter entry, variant, st;
        open_entry(key, "(ii)", &entry, &variant);
        dbus_message_iter_open_container(&variant, DBUS_TYPE_STRUCT, nullptr, &st);
        dbus_message_iter_append_basic(&st, DBUS_TYPE_INT32, &a);
        dbus_message_iter_append_basic(&st, DBUS_TYPE_INT32, &b);
        dbus_message_iter_close_container(&variant, &st);
        close_entry(&entry, &variant);
        return *this;
    }
    void close() { dbus_message_iter_close_container(&args_, &array_); }

private:
    void open_entry(const char *key, const char *sig, DBusMessageIter *entry,
                    DBusMessageIter *variant)
    {
        dbus_message_iter_open_container(&array_, DBUS_TYPE_DICT_ENTRY, nullptr, entry);
        dbus_message_iter_append_basic(entry, DBUS_TYPE_STRING, &key);
        dbus_message_iter_open_container(entry, DBUS_TYPE_VARIANT, sig, variant);
    }
    void close_entry(DBusMessageIter *entry, DBusMessageIter *variant)
    {
        dbus_message_iter_close_container(entry, variant);
        dbus_message_iter_close_container(&array_, entry);
    }
    DictWriter &basic(const char *key, int type, const void *value)
    {
        const char sig[] = {static_cast<char>(type), '\0'};
        DBusMessageIter entry, variant;
        open_entry(key, sig, &entry, &variant);
        dbus_message_iter_append_basic(&variant, type, value);
        close_entry(&entry, &variant);
        return *this;
    }
    DBusMessageIter args_, array_;
};

// "key=t:value" for each entry of the first argument, an a{sv}, in order;
// a single "signature=..." element when the body is anything else.
inline std::vector<std::string> dump_properties(DBusMessage *message)
{
    std::vector<std::string> out;
    const char *signature = dbus_message_get_signature(message);
    if (std::string(signature) != "a{sv}") {
        out.push_back(std::string("signature=") + signature);
        return out;
    }
    DBusMessageIter args, array;
    dbus_message_iter_init(message, &args);
    dbus_message_iter_recurse(&args, &array);
    for (; dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&array)) {
        DBusMessageIter entry, variant;
        dbus_message_iter_recurse(&array, &entry);
        const char *key = nullptr;
        dbus_message_iter_get_basic(&entry, &key);
        dbus_message_iter_next(&entry);
        dbus_message_iter_recurse(&entry, &variant);
        const int type = dbus_message_iter_get_arg_type(&variant);
        std::string text = std::string(key) + "=" + static_cast<char>(type) + ":";
        DBusBasicValue v;
        char buf[64];
        switch (type) {
        case DBUS_TYPE_STRING:
        case DBUS_TYPE_OBJECT_PATH:
            dbus_message_iter_get_basic(&variant, &v);
            text += v.str;
            break;
        case DBUS_TYPE_UINT32:
            dbus_message_iter_get_basic(&variant, &v);
            text += std::to_string(v.u32);
            break;
        case DBUS_TYPE_INT32:
            dbus_message_iter_get_basic(&variant, &v);
            text += std::to_string(v.i32);
            break;
        case DBUS_TYPE_BOOLEAN:
            dbus_message_iter_get_basic(&variant, &v);
            text += v.bool_val ? "true" : "false";
            break;
        case DBUS_TYPE_DOUBLE:
            dbus_message_iter_get_basic(&variant, &v);
            std::snprintf(buf, sizeof buf, "%.17g", v.dbl);
            text += buf;
            break;
        default:
            text += "...";
        }
        out.push_back(text);
    }
    return out;
}

inline std::string join(const std::vector<std::string> &parts, const char *sep = " ")
{
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i ? sep : "") + parts[i];
    return out;
}

} // namespace harness
