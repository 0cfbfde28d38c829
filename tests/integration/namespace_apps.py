#!/usr/bin/python3
# Unmodified container applications, for the namespacing tests. Each prints
# one line per event and runs until ended (60 s at most).
#   gapp ID          a single-instance GApplication (the bus from the
#                    environment); prints "primary", "remote", "activated"
#   watch NAME       dbus-python: watch_name_owner(NAME) and a broad
#                    NameOwnerChanged receiver
#   qt NAME          QtDBus: QDBusServiceWatcher on NAME
# The bus is DBUS_SESSION_BUS_ADDRESS.
import sys


def out(*words):
    print(*words, flush=True)


def gapp(app_id):
    from gi.repository import Gio, GLib
    app = Gio.Application(application_id=app_id, flags=Gio.ApplicationFlags.FLAGS_NONE)

    def activate(application):
        out("activated")
        application.hold()  # stays, as a window would keep it

    app.connect("activate", activate)
    app.register(None)
    out("remote" if app.get_is_remote() else "primary")
    GLib.timeout_add_seconds(60, lambda: app.quit())
    app.run([])


def watch(name):
    import dbus
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    bus.watch_name_owner(name, lambda owner: out("owner", owner or "-"))
    bus.add_signal_receiver(lambda n, old, new: out("changed", n, new or "-"),
                            signal_name="NameOwnerChanged",
                            dbus_interface="org.freedesktop.DBus")
    GLib.timeout_add(100, lambda: out("ready") and False)
    loop = GLib.MainLoop()
    GLib.timeout_add_seconds(60, loop.quit)
    loop.run()


def qt(name):
    from PyQt5.QtCore import QCoreApplication, QTimer
    from PyQt5.QtDBus import QDBusConnection, QDBusServiceWatcher
    app = QCoreApplication([])
    bus = QDBusConnection.sessionBus()
    watcher = QDBusServiceWatcher(name, bus, QDBusServiceWatcher.WatchForOwnerChange)
    watcher.serviceOwnerChanged.connect(lambda n, old, new: out("owner", new or "-"))
    out("ready" if bus.isConnected() else "unconnected")
    QTimer.singleShot(60000, app.quit)
    app.exec_()


{"gapp": gapp, "watch": watch, "qt": qt}[sys.argv[1]](sys.argv[2])
