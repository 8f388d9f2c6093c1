#!/usr/bin/python3
# A StatusNotifierWatcher with a host, optionally a portal stating a colour scheme; prints each item's icon.
# Usage: fake_tray_watcher.py [--scheme 0|1|2 [--portal-only 1]] [--dump DIR (pixmaps as DIR/<size>.rgba)]
import sys, dbus, dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

W, ITEM = "org.kde.StatusNotifierWatcher", "org.kde.StatusNotifierItem"
args = dict(zip(sys.argv[1::2], sys.argv[2::2]))
DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()

def show(sender):
    def got(p):
        for w, h, px in p["IconPixmap"]:
            rgba = bytes(px[i + (j + 1) % 4] for i in range(0, len(px), 4) for j in range(4))
            if "--dump" in args: open("%s/%d.rgba" % (args["--dump"], w), "wb").write(rgba)
            if w == 22: dial = "#" + rgba[(3 * w + 9) * 4:(3 * w + 9) * 4 + 3].hex()  # 16 px dial at (3, 3)
        print("ITEM title=%s icon=%s dial=%s" % (p["Title"], p["IconName"], dial), flush=True)
    bus.get_object(sender, "/StatusNotifierItem").GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE,
        reply_handler=got, error_handler=lambda e: print("ERROR", e, flush=True))

class Watcher(dbus.service.Object):
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):  # Qt reads the host property through the introspected interface
        return f"""<node><interface name="{W}"><method name="RegisterStatusNotifierItem"><arg type="s"/></method>
            <property name="IsStatusNotifierHostRegistered" type="b" access="read"/></interface></node>"""
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, iface, name): return True  # IsStatusNotifierHostRegistered
    @dbus.service.method(W, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender):
        bus.add_signal_receiver(lambda: show(sender), "NewIcon", ITEM, sender)
        show(sender)

class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Settings", in_signature="ss", out_signature="v")
    def Read(self, group, key): return dbus.UInt32(int(args["--scheme"]), variant_level=2)

if "--scheme" in args:
    keep = [Portal(bus, "/org/freedesktop/portal/desktop"), dbus.service.BusName("org.freedesktop.portal.Desktop", bus)]
if "--portal-only" not in args:
    keep2 = Watcher(bus, "/StatusNotifierWatcher")
    name = dbus.service.BusName(W, bus)
print("READY", flush=True)
GLib.MainLoop().run()
