// The settings of AddContainer, an a{sv}, turned into the lines of a
// container file, so that the containers' own reader judges them as it
// judges a file: one reader for the format.
#pragma once

#include <dbus/dbus.h>

#include <string>

// Reads the a{sv} at `iter` and returns its lines (each ending in '\n').
// Refuses, with `error` saying what is wrong, an unknown key, a key given
// twice, a value of the wrong type, and any value holding a control byte
// (a line break would let it add a line of its own). The reader judges the
// values themselves. Key and type: listen `as` (one `listen` line each),
// namespace / activation-list / panel-prefix `s`, audit `s` (empty: to the
// log), lookups `b`, policy `as` (present, even empty, turns filtering
// on), metadata `a{ss}`.
bool settings_to_lines(DBusMessageIter *iter, std::string *lines, std::string *error);

