#!/usr/bin/python3
"""A stand-in for RealtimeKit, run as root on the bus that DBUS_SYSTEM_BUS_ADDRESS
names: usage realtimekit.py grant|refuse LOG. Each call is appended to LOG as
"<method> <thread> <value>", then granted or refused; a grant needs a hard
RLIMIT_RTTIME of at most RTTimeUSecMax and, for real-time, sets SCHED_FIFO with
SCHED_RESET_ON_FORK, as RealtimeKit does. Prints "ready" once it owns its name."""
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.RealtimeKit1"
PROPERTIES = {"MaxRealtimePriority": dbus.Int32(20), "MinNiceLevel": dbus.Int32(-15),
              "RTTimeUSecMax": dbus.Int64(200000)}


class Kit(dbus.service.Object):
    def check(self, method, thread, value):
        with open(sys.argv[2], "a", encoding="ascii") as log:
            log.write(f"{method} {thread} {value}\n")
        with open(f"/proc/{thread}/limits", encoding="ascii") as limits:
            hard = [l.split()[4] for l in limits if l.startswith("Max realtime timeout")][0]
        if sys.argv[1] != "grant" or hard == "unlimited" or int(hard) > 200000:
            raise dbus.exceptions.DBusException("refused", name="org.freedesktop.DBus.Error.AccessDenied")

    @dbus.service.method(NAME, in_signature="tu")
    def MakeThreadRealtime(self, thread, priority):
        self.check("MakeThreadRealtime", thread, priority)
        os.sched_setscheduler(thread, os.SCHED_FIFO | os.SCHED_RESET_ON_FORK, os.sched_param(priority))

    @dbus.service.method(NAME, in_signature="ti")
    def MakeThreadHighPriority(self, thread, priority):
        self.check("MakeThreadHighPriority", thread, priority)
        os.setpriority(os.PRIO_PROCESS, thread, priority)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return PROPERTIES[name]


DBusGMainLoop(set_as_default=True)
bus = dbus.SystemBus()
kit = Kit(bus, "/org/freedesktop/RealtimeKit1")
name = dbus.service.BusName(NAME, bus)
print("ready", flush=True)
GLib.MainLoop().run()
