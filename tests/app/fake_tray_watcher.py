#!/usr/bin/python3
# A StatusNotifierWatcher with its host registered, and optionally a desktop portal stating a colour
# scheme, on the session bus. Prints "REGISTERED ms=N" (N: ms since the watcher took its name) when an
# item registers, then "ITEM title=… icon=… dial=#rrggbb" with the item's properties, again on each
# NewIcon; dial is the colour of the top ring's first cell in the 22 px pixmap.
# Usage: fake_tray_watcher.py [--scheme 0|1|2 [--portal-only 1]] [--dump DIR (each pixmap as DIR/<size>.rgba)]
import sys, time, dbus, dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

W, ITEM = "org.kde.StatusNotifierWatcher", "org.kde.StatusNotifierItem"
args = dict(zip(sys.argv[1::2], sys.argv[2::2]))
# Qt reads the watcher's properties through its introspection: they must be in the XML.
XML = f"""<node><interface name="{W}"><method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/>
</method><method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/></interface></node>"""
DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()

def show(sender):
    def got(p):
        dial = "none"
        for w, h, data in p["IconPixmap"]:
            if "--dump" in args:
                open("%s/%d.rgba" % (args["--dump"], w), "wb").write(bytes(data[i + (j + 1) % 4]
                                                                      for i in range(0, len(data), 4) for j in range(4)))
            if w == 22:  # 16 px dial centred: top row's first cell at (3 + 6, 3)
                dial = "#%02x%02x%02x" % tuple(data[(3 * w + 9) * 4 + 1:(3 * w + 9) * 4 + 4])
        print("ITEM title=%s icon=%s dial=%s" % (p["Title"], p["IconName"], dial), flush=True)
    bus.get_object(sender, "/StatusNotifierItem").GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE,
        reply_handler=got, error_handler=lambda e: print("ERROR", e, flush=True))

class Watcher(dbus.service.Object):
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self): return XML
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, iface, name): return self.GetAll(iface)[name]
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, iface):
        return {"RegisteredStatusNotifierItems": dbus.Array([], "s"), "IsStatusNotifierHostRegistered": True,
                "ProtocolVersion": dbus.Int32(0)}
    @dbus.service.method(W, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender):
        print("REGISTERED ms=%d" % ((time.monotonic() - t0) * 1000), flush=True)
        bus.add_signal_receiver(lambda: show(sender), "NewIcon", ITEM, sender)
        show(sender)
    @dbus.service.method(W, in_signature="s")
    def RegisterStatusNotifierHost(self, service): pass

class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Settings", in_signature="ss", out_signature="v")
    def Read(self, group, key):
        return dbus.UInt32(int(args["--scheme"]), variant_level=2)

if "--scheme" in args:
    keep = [Portal(bus, "/org/freedesktop/portal/desktop"), dbus.service.BusName("org.freedesktop.portal.Desktop", bus)]
if "--portal-only" not in args:
    watcher = Watcher(bus, "/StatusNotifierWatcher")
    t0 = time.monotonic()
    name = dbus.service.BusName(W, bus)
print("READY", flush=True)
GLib.MainLoop().run()
