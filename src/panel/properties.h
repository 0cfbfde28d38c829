// Reading and rebuilding the property dictionary of a GetAll reply.
#pragma once

#include <dbus/dbus.h>

#include <cstddef>

// What the rewritten icon text is prefixed with: where the container's files
// are seen from the host.
inline constexpr char panel_icon_prefix[] = "/opt/tolm";
// The rewritten icon text, terminating zero included, never takes more.
inline constexpr std::size_t panel_icon_text_size = 512;

// The first string-valued IconName of the reply's a{sv} dictionary when it
// holds a '/'; null otherwise. The text belongs to the reply.
const char *find_icon_name_path(DBusMessage *reply);

// Copies the a{sv} dictionary of `source` into `target` as its only argument,
// every IconName prefixed. 1 when the whole dictionary was written, else 0.
int rebuild_properties_reply(DBusMessage *source, DBusMessage *target);

// Writes panel_icon_prefix followed by `icon` into `out` (panel_icon_text_size
// bytes), cut at the last whole UTF-8 character that fits.
void format_icon_text(char *out, const char *icon);
