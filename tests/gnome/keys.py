"""Presses and releases keys through mutter's remote desktop: the keyboard of the GNOME tests.
Each line of standard input holds words +CODE (press) or -CODE (release), CODE an evdev key code;
once mutter has taken them, "done" is written. The keyboard lasts until the input ends: mutter
ends a remote desktop session whose caller leaves the bus."""
import sys

import dbus

NAME = "org.gnome.Mutter.RemoteDesktop"

bus = dbus.SessionBus()
path = bus.get_object(NAME, "/org/gnome/Mutter/RemoteDesktop").CreateSession(dbus_interface=NAME)
session = dbus.Interface(bus.get_object(NAME, path), f"{NAME}.Session")
session.Start()
for line in sys.stdin:
    for move in line.split():
        session.NotifyKeyboardKeycode(dbus.UInt32(int(move[1:])), move[0] == "+")
    print("done", flush=True)
