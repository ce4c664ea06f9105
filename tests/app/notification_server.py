#!/usr/bin/python3
"""A desktop notification service for tests, on the session bus given in
DBUS_SESSION_BUS_ADDRESS. Prints "ready" once it owns its name, then one JSON
line per Notify call. Reads commands from standard input:
"invoke <id> <action>" emits ActionInvoked, "quit" ends it."""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"


class Server(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.last = 0

    @dbus.service.method(NAME, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return ["actions", "body", "body-markup"]

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.last = int(replaces) or self.last + 1
        print(json.dumps({"id": self.last, "app": str(app), "replaces": int(replaces),
                          "summary": str(summary), "body": str(body),
                          "actions": [str(a) for a in actions], "timeout": int(timeout)}),
              flush=True)
        return self.last

    @dbus.service.method(NAME, in_signature="u", out_signature="")
    def CloseNotification(self, id):
        self.NotificationClosed(id, 3)

    @dbus.service.method(NAME, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ("test", "velora", "1", "1.2")

    @dbus.service.signal(NAME, signature="us")
    def ActionInvoked(self, id, action):
        pass

    @dbus.service.signal(NAME, signature="uu")
    def NotificationClosed(self, id, reason):
        pass


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    server = Server(bus)
    name = dbus.service.BusName(NAME, bus)
    loop = GLib.MainLoop()

    def command(source, condition):
        line = sys.stdin.readline()
        if not line or line.strip() == "quit":
            loop.quit()
            return False
        words = line.split()
        if words[0] == "invoke":
            server.ActionInvoked(dbus.UInt32(int(words[1])), words[2])
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
    print("ready", flush=True)
    loop.run()
    del name


if __name__ == "__main__":
    main()
