// Reading and rebuilding the property dictionary of a GetAll reply.
#pragma once

#include <dbus/dbus.h>

#include <cstddef>

// What a rewritten icon text is prefixed with unless the client's container
// says otherwise: where the container's files are seen from the host.
inline constexpr char panel_icon_prefix[] = "/opt/tolm";
// A rewritten icon text, terminating zero included, never takes more.
inline constexpr std::size_t panel_icon_text_size = 512;

// The properties that name an icon by a text: "IconName",
// "AttentionIconName", "OverlayIconName", in this order.
inline constexpr int icon_name_key_count = 3;
extern const char *const icon_name_keys[icon_name_key_count];

// What a reply's icon entries get, from one walk of its dictionary.
struct IconPlan {
    // Each icon-name key's first string value decides for every entry of
    // that key: all of them are prefixed when it holds a '/' and does not
    // lie under a shared prefix.
    const char *first[icon_name_key_count]; // belong to the reply
    bool prefixed[icon_name_key_count];
    // Some IconThemePath is an absolute path not under a shared prefix; each
    // such value is prefixed.
    bool theme_path;
};

// Walks the reply's a{sv} dictionary once and fills `plan`. 1 when some
// icon entry needs the prefix, so that a substitute is worth building.
int plan_icon_entries(DBusMessage *reply, IconPlan *plan);

// The first string-valued IconName of the reply's a{sv} dictionary when it
// holds a '/'; null otherwise. The text belongs to the reply.
const char *find_icon_name_path(DBusMessage *reply);

// Copies the a{sv} dictionary of `source` into `target` as its only argument:
// every value with its own signature and bytes, the icon entries that `plan`
// names prefixed. 1 when the whole dictionary was written, else 0.
// Icon texts get `prefix` (a container's own panel prefix).
int rebuild_properties_reply(DBusMessage *source, DBusMessage *target, const IconPlan &plan,
                             const char *prefix = panel_icon_prefix);

// Writes `prefix` followed by `icon` into `out` (panel_icon_text_size
// bytes), cut at the last whole UTF-8 character that fits.
void format_icon_text(char *out, const char *icon, const char *prefix = panel_icon_prefix);
