#!/bin/bash
# A StatusNotifierItem-only tray that starts after the app, on Xvfb and a private session bus, with a
# desktop portal that prefers dark: the app says once that there is no tray yet, then registers its item
# with the watcher once it appears, titled "Glowticker", naming the installed symbolic icon, with a light
# dial in its pixmaps. Usage: tray_late_e2e.sh APP_BIN ICON_DIR (the generated hicolor tree)
set -u
APP=$1 ICONS=$(cd "$2" && pwd) HERE=$(cd "$(dirname "$0")" && pwd)
for tool in Xvfb dbus-daemon; do command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }; done
/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null || { echo "SKIP: python3-dbus or python3-gi missing"; exit 77; }
source "$HERE/../support/e2e.sh"
mkdir -p "$WORK/home" "$WORK/xdg" "$WORK/share/icons" && chmod 700 "$WORK/xdg"
ln -s "$ICONS" "$WORK/share/icons/hicolor"
Xvfb -displayfd 5 -screen 0 640x480x24 -nolisten tcp 5>"$WORK/display" 2>"$WORK/xvfb.log" & PIDS+=($!)
waitfor 10 test -s "$WORK/display" || fail "Xvfb did not start"
private_bus "$WORK/bus"
export DBUS_SESSION_BUS_ADDRESS=$bus
HOME=$WORK/home XDG_RUNTIME_DIR=$WORK/xdg XDG_DATA_DIRS=$WORK/share DISPLAY=":$(cat "$WORK/display")" \
  QT_QPA_PLATFORM=xcb "$APP" >"$WORK/app.log" 2>&1 & PIDS+=($!)
waitfor 10 grep -qs 'no system tray yet' "$WORK/app.log" || fail "the missing tray was not explained"
waitfor 5 test -S "$WORK/home/.glowticker/run/events.sock" || fail "the app did not start its work"
/usr/bin/python3 "$HERE/fake_tray_watcher.py" --scheme 1 >"$WORK/watcher.log" 2>&1 & PIDS+=($!)
waitfor 10 grep -q '^ITEM title=Glowticker icon=glowticker-offline-symbolic dial=#f2f2f2$' "$WORK/watcher.log" ||
  fail "no item registered with the late watcher, or the wrong title, icon name or dial colour for a dark desktop"
[ "$(grep -c 'tray' "$WORK/app.log")" -eq 1 ] || fail "expected exactly one line about the tray"
echo "PASS"
