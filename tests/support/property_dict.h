// Writing and reading a{sv} property dictionaries, for building replies in
// tests and comparing what arrives.
#pragma once

#include <dbus/dbus.h>

#include <cstdio>
#include <functional>
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
    // A value of any type `sig`, which `fill` appends to the variant.
    DictWriter &value(const char *key, const char *sig,
                      const std::function<void(DBusMessageIter *)> &fill)
    {
        DBusMessageIter entry, variant;
        open_entry(key, sig, &entry, &variant);
        fill(&variant);
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

// A complete value as text: basic values as they are, "y" as two hex digits,
// containers with their elements in brackets.
inline std::string render_value(DBusMessageIter *it)
{
    const int type = dbus_message_iter_get_arg_type(it);
    DBusBasicValue v;
    char buf[64];
    if (type == DBUS_TYPE_UNIX_FD)
        return "fd"; // reading it would duplicate the descriptor
    if (dbus_type_is_basic(type)) {
        dbus_message_iter_get_basic(it, &v);
        switch (type) {
        case DBUS_TYPE_STRING:
        case DBUS_TYPE_OBJECT_PATH:
        case DBUS_TYPE_SIGNATURE:
            return v.str;
        case DBUS_TYPE_BYTE:
            std::snprintf(buf, sizeof buf, "%02x", v.byt);
            return buf;
        case DBUS_TYPE_BOOLEAN:
            return v.bool_val ? "true" : "false";
        case DBUS_TYPE_INT16:
            return std::to_string(v.i16);
        case DBUS_TYPE_UINT16:
            return std::to_string(v.u16);
        case DBUS_TYPE_INT32:
            return std::to_string(v.i32);
        case DBUS_TYPE_UINT32:
            return std::to_string(v.u32);
        case DBUS_TYPE_INT64:
            return std::to_string(v.i64);
        case DBUS_TYPE_UINT64:
            return std::to_string(v.u64);
        case DBUS_TYPE_DOUBLE:
            std::snprintf(buf, sizeof buf, "%.17g", v.dbl);
            return buf;
        default:
            return "?";
        }
    }
    const char *brackets = type == DBUS_TYPE_ARRAY    ? "[]"
                           : type == DBUS_TYPE_VARIANT ? "<>"
                           : type == DBUS_TYPE_STRUCT  ? "()"
                                                       : "{}";
    DBusMessageIter inner;
    dbus_message_iter_recurse(it, &inner);
    std::string out(1, brackets[0]);
    if (type == DBUS_TYPE_VARIANT) {
        char *sig = dbus_message_iter_get_signature(&inner);
        out += std::string(sig) + ":";
        dbus_free(sig);
    }
    const char *sep = type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(it) ==
                                                     DBUS_TYPE_BYTE
                          ? ""
                          : ",";
    for (bool first = true; dbus_message_iter_get_arg_type(&inner) != DBUS_TYPE_INVALID;
         dbus_message_iter_next(&inner), first = false)
        out += (first ? "" : sep) + render_value(&inner);
    return out + brackets[1];
}

// "key=signature:value" for each entry of the first argument, an a{sv}, in order;
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
        // Basic values keep their one-letter type; containers show their
        // whole signature.
        char *sig = dbus_message_iter_get_signature(&variant);
        out.push_back(std::string(key) + "=" + sig + ":" + render_value(&variant));
        dbus_free(sig);
    }
    return out;
}

// Appends one a(iiay) pixmap list: a square ARGB image per side given, its
// bytes a pattern that starts at `seed`.
inline void append_pixmaps(DBusMessageIter *to, const std::vector<int> &sides, unsigned seed)
{
    DBusMessageIter array;
    dbus_message_iter_open_container(to, DBUS_TYPE_ARRAY, "(iiay)", &array);
    for (int side : sides) {
        std::vector<unsigned char> argb(static_cast<size_t>(side) * side * 4);
        for (size_t i = 0; i < argb.size(); ++i)
            argb[i] = static_cast<unsigned char>(seed + i * 7);
        const unsigned char *bytes = argb.data();
        DBusMessageIter image, data;
        dbus_message_iter_open_container(&array, DBUS_TYPE_STRUCT, nullptr, &image);
        dbus_message_iter_append_basic(&image, DBUS_TYPE_INT32, &side);
        dbus_message_iter_append_basic(&image, DBUS_TYPE_INT32, &side);
        dbus_message_iter_open_container(&image, DBUS_TYPE_ARRAY, "y", &data);
        dbus_message_iter_append_fixed_array(&data, DBUS_TYPE_BYTE, &bytes,
                                             static_cast<int>(argb.size()));
        dbus_message_iter_close_container(&image, &data);
        dbus_message_iter_close_container(&array, &image);
    }
    dbus_message_iter_close_container(to, &array);
}

// The icon texts of a tray item; its other properties are fixed.
struct TrayIcons {
    const char *name, *attention, *overlay, *theme_path;
};

// The properties a real status-notifier item answers GetAll with: pixmaps,
// a tooltip, a menu, flags, and for good measure nested variants and a
// dictionary. Pixmaps of `side` pixels make it about 2 KiB at 16.
inline void write_tray_item(DBusMessage *message, const TrayIcons &icons, int side = 16)
{
    auto pixmaps = [side](std::vector<int> scale, unsigned seed) {
        for (int &s : scale)
            s *= side;
        return [scale, seed](DBusMessageIter *v) { append_pixmaps(v, scale, seed); };
    };
    DictWriter(message)
        .str("Category", "ApplicationStatus")
        .str("Id", "example-app")
        .str("Title", "Example \xc3\xa9")
        .str("Status", "Active")
        .i32("WindowId", 0)
        .str("IconThemePath", icons.theme_path)
        .str("IconName", icons.name)
        .value("IconPixmap", "a(iiay)", pixmaps({1}, 1))
        .str("OverlayIconName", icons.overlay)
        .value("OverlayIconPixmap", "a(iiay)", pixmaps({}, 0))
        .str("AttentionIconName", icons.attention)
        .value("AttentionIconPixmap", "a(iiay)", pixmaps({1}, 99))
        .str("AttentionMovieName", "")
        .value("ToolTip", "(sa(iiay)ss)",
               [&](DBusMessageIter *v) {
                   DBusMessageIter tip;
                   const char *texts[] = {"dialog-information", "Example", "Body <b>bold</b>"};
                   dbus_message_iter_open_container(v, DBUS_TYPE_STRUCT, nullptr, &tip);
                   dbus_message_iter_append_basic(&tip, DBUS_TYPE_STRING, &texts[0]);
                   pixmaps({1}, 5)(&tip);
                   dbus_message_iter_append_basic(&tip, DBUS_TYPE_STRING, &texts[1]);
                   dbus_message_iter_append_basic(&tip, DBUS_TYPE_STRING, &texts[2]);
                   dbus_message_iter_close_container(v, &tip);
               })
        .boolean("ItemIsMenu", false)
        .path("Menu", "/MenuBar")
        .value("XNested", "v",
               [](DBusMessageIter *v) {
                   DBusMessageIter inner, list;
                   const char *items[] = {"a", "b"};
                   dbus_message_iter_open_container(v, DBUS_TYPE_VARIANT, "as", &inner);
                   dbus_message_iter_open_container(&inner, DBUS_TYPE_ARRAY, "s", &list);
                   for (const char *item : items)
                       dbus_message_iter_append_basic(&list, DBUS_TYPE_STRING, &item);
                   dbus_message_iter_close_container(&inner, &list);
                   dbus_message_iter_close_container(v, &inner);
               })
        .value("XHints", "a{sv}",
               [](DBusMessageIter *v) {
                   DBusMessageIter array, entry, value;
                   dbus_message_iter_open_container(v, DBUS_TYPE_ARRAY, "{sv}", &array);
                   const char *keys[] = {"urgency", "big", "ratio"};
                   unsigned char urgency = 2;
                   dbus_int64_t big = -(1LL << 40);
                   double ratio = 1.5;
                   const void *values[] = {&urgency, &big, &ratio};
                   const char *sigs[] = {"y", "x", "d"};
                   const int types[] = {DBUS_TYPE_BYTE, DBUS_TYPE_INT64, DBUS_TYPE_DOUBLE};
                   for (int i = 0; i < 3; ++i) {
                       dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY, nullptr,
                                                        &entry);
                       dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &keys[i]);
                       dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, sigs[i], &value);
                       dbus_message_iter_append_basic(&value, types[i], values[i]);
                       dbus_message_iter_close_container(&entry, &value);
                       dbus_message_iter_close_container(&array, &entry);
                   }
                   dbus_message_iter_close_container(v, &array);
               })
        .close();
}

inline std::string join(const std::vector<std::string> &parts, const char *sep = " ")
{
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i ? sep : "") + parts[i];
    return out;
}

} // namespace harness
