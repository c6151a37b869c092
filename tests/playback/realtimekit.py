"""RealtimeKit's stand-in, as root: realtimekit.py grant|refuse|late|nice-late
DIR. Prints the address of its own bus daemon (socket DIR/bus), logs each call
to DIR/kit.log as "<method> <thread> <value>" ("caller": the caller's process
id), then grants it (a hard RLIMIT_RTTIME of 200 ms at most,
SCHED_RESET_ON_FORK, as RealtimeKit) or refuses it. "late" grants but answers
after the caller's 2 s timeout; "nice-late" does so only for
MakeThreadHighPriority and refuses MakeThreadRealtime. Ends when its standard
output is closed."""
import os
import subprocess
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME, BUS = "org.freedesktop.RealtimeKit1", "org.freedesktop.DBus"
answer, folder = sys.argv[1:3]
BOTH = ("MakeThreadRealtime", "MakeThreadHighPriority")
GRANTED = {"grant": BOTH, "late": BOTH, "nice-late": BOTH[1:]}.get(answer, ())


class Kit(dbus.service.Object):
    def check(self, method, thread, value, sender):
        caller = self.connection.call_blocking(BUS, "/org/freedesktop/DBus", BUS,
                                               "GetConnectionUnixProcessID", "s", (sender,))
        with open(f"{folder}/kit.log", "a", encoding="ascii") as log:
            log.write(f"{method} {'caller' if thread == caller else thread} {value}\n")
        with open(f"/proc/{thread}/limits", encoding="ascii") as limits:
            hard = [l.split()[4] for l in limits if l.startswith("Max realtime timeout")][0]
        if method not in GRANTED or hard == "unlimited" or int(hard) > 200000:
            raise dbus.exceptions.DBusException("refused", name=BUS + ".Error.AccessDenied")

    @dbus.service.method(NAME, in_signature="tu", sender_keyword="sender")
    def MakeThreadRealtime(self, thread, priority, sender):
        self.check("MakeThreadRealtime", thread, priority, sender)
        os.sched_setscheduler(thread, os.SCHED_FIFO | os.SCHED_RESET_ON_FORK, os.sched_param(priority))
        self.reply()

    @dbus.service.method(NAME, in_signature="ti", sender_keyword="sender")
    def MakeThreadHighPriority(self, thread, nice, sender):
        self.check("MakeThreadHighPriority", thread, nice, sender)
        os.setpriority(os.PRIO_PROCESS, thread, nice)
        self.reply()

    def reply(self):
        if answer.endswith("late"):
            time.sleep(2.5)  # granted, but the caller no longer waits for the reply

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return {"MaxRealtimePriority": dbus.Int32(20), "MinNiceLevel": dbus.Int32(-15),
                "RTTimeUSecMax": dbus.Int64(200000)}[name]


with open(f"{folder}/bus.conf", "w", encoding="ascii") as conf:
    conf.write(f"<busconfig><listen>unix:path={folder}/bus</listen><policy context='default'>"
               "<allow user='*'/><allow own='*'/><allow send_destination='*'/>"
               "<allow receive_sender='*'/></policy></busconfig>")
os.umask(0)  # a socket for every user
daemon = subprocess.Popen(["dbus-daemon", "--nofork", "--print-address=1", "--config-file",
                           f"{folder}/bus.conf"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
address = daemon.stdout.readline().decode().strip()
DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(address)
kit, name = Kit(bus, "/org/freedesktop/RealtimeKit1"), dbus.service.BusName(NAME, bus)
print(address, flush=True)
loop = GLib.MainLoop()
GLib.io_add_watch(1, GLib.IO_ERR | GLib.IO_HUP, lambda *_: loop.quit())
loop.run()
daemon.terminate()
