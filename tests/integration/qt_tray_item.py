#!/usr/bin/python3
# A Qt tray icon, as a desktop application shows one: QSystemTrayIcon
# registers org.kde.StatusNotifierItem-PID-N with the bus's
# StatusNotifierWatcher. Prints "activated" and exits when the watcher
# activates it; exits 3 when nothing came within the time given (seconds,
# argv[1]), 2 when Qt found no tray to show it in.
import sys

from PyQt5.QtCore import QTimer
from PyQt5.QtGui import QIcon, QPixmap
from PyQt5.QtWidgets import QApplication, QSystemTrayIcon

app = QApplication(sys.argv[:1])
if not QSystemTrayIcon.isSystemTrayAvailable():
    print("no tray", flush=True)
    sys.exit(2)
pixmap = QPixmap(16, 16)
pixmap.fill()
icon = QSystemTrayIcon(QIcon(pixmap))


def on_activated(reason):
    print("activated", flush=True)
    app.exit(0)


icon.activated.connect(on_activated)
icon.show()
QTimer.singleShot(int(float(sys.argv[1]) * 1000), lambda: app.exit(3))
sys.exit(app.exec_())
