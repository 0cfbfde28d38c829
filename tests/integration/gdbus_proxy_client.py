#!/usr/bin/python3
# A container application that talks to a service through a GDBusProxy, as
# most GLib code does. Prints one line per event; runs until it is ended.
# Usage: gdbus_proxy_client.py ADDRESS NAME PATH INTERFACE
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402


def out(*words):
    print(*words, flush=True)


address, name, path, interface = sys.argv[1:5]
connection = Gio.DBusConnection.new_for_address_sync(
    address,
    Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
    | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
    None, None)
proxy = Gio.DBusProxy.new_sync(connection, Gio.DBusProxyFlags.NONE, None,
                               name, path, interface, None)
out("owner", proxy.get_name_owner() or "")
identity = proxy.get_cached_property("Identity")
out("property", identity.unpack() if identity is not None else "")
try:
    out("call", proxy.call_sync("Who", None, Gio.DBusCallFlags.NONE, 10000,
                                None).unpack()[0])
except GLib.Error as error:
    out("call-error", error.message)
proxy.connect("g-signal",
              lambda p, sender, signal, params: out("signal", signal, params.unpack()[0]))
proxy.connect("notify::g-name-owner",
              lambda p, _param: out("owner", p.get_name_owner() or ""))
out("ready")
loop = GLib.MainLoop()
GLib.timeout_add_seconds(60, loop.quit)
loop.run()
