// Opening a private connection to the host bus without waiting for it.
#pragma once

#include <dbus/dbus.h>

#include <string>

// The host bus's address as libdbus finds it for a private bus connection:
// DBUS_SYSTEM_BUS_ADDRESS / DBUS_SESSION_BUS_ADDRESS, else the platform's
// default (the system socket; $XDG_RUNTIME_DIR/bus or autolaunch: for the
// session).
std::string host_bus_address(bool system_bus);

// Opens a private connection to the host bus, attached to the main loop,
// and sends its Hello; `on_hello` runs with the pending call once the bus
// answers (then call bus_take_hello_reply). The connection is returned with
// exit-on-disconnect off; null when it cannot be opened (`error` says why).
// Whatever is sent on it meanwhile waits behind the Hello.
DBusConnection *bus_open_async(bool system_bus, DBusPendingCallNotifyFunction on_hello,
                               void *data, DBusPendingCall **pending, std::string *error);

// Reads the bus's answer to the Hello of `connection` and records the unique
// name it gave; false with `error` set when the bus refused or never answered.
bool bus_take_hello_reply(DBusPendingCall *pending, DBusConnection *connection,
                          std::string *error);
