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
// and sends its Hello, whose serial goes to `hello_serial`: the bus's answer
// arrives among the connection's messages (bus_is_hello_reply), to be read
// with bus_take_hello_reply. The connection is returned with
// exit-on-disconnect off; null when it cannot be opened (`error` says why).
// Whatever is sent on it meanwhile waits behind the Hello.
DBusConnection *bus_open_async(bool system_bus, dbus_uint32_t *hello_serial,
                               std::string *error);

// Whether `message` is the bus's answer to the Hello sent as `hello_serial`.
bool bus_is_hello_reply(DBusMessage *message, dbus_uint32_t hello_serial);

// Reads the bus's answer to the Hello of `connection` and records the unique
// name it gave; false with `error` set when the bus refused.
bool bus_take_hello_reply(DBusMessage *reply, DBusConnection *connection, std::string *error);
