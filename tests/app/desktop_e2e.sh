#!/bin/bash
# The tray app on a headless desktop (Xvfb, trayer) finds the simulated phone by a real search between two
# namespaces' avahi-daemons, pairs, flips a hook switch, unpairs and quits, taking README's screenshots; then
# a StatusNotifierItem tray on a dark desktop. Usage (root): desktop_e2e.sh BIN_DIR [OUT_DIR [ICON_DIR]]
set -u
BIN=$(cd "${1:?usage: desktop_e2e.sh BIN_DIR [OUT_DIR]}" && pwd)
OUT=$(mkdir -p "${2:-./desktop-e2e}" && cd "${2:-./desktop-e2e}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd) ICONS=$(cd "${3:-$BIN/../packaging/icons}" && pwd)
RIG=$HERE/../discovery/avahi_rig.sh
[ "$(id -u)" = 0 ] || { echo "SKIP: needs root for its network namespaces"; exit 77; }
for tool in Xvfb trayer xdotool dbus-daemon /usr/bin/import ip avahi-daemon avahi-publish avahi-browse; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null || { echo "SKIP: python3-dbus or python3-gi missing"; exit 77; }
source "$HERE/../support/e2e.sh"
rm -f "$OUT"/*.png
mkdir -p "$WORK/home" "$WORK/xdg" "$WORK/share/icons" && chmod 700 "$WORK/xdg" && ln -s "$ICONS" "$WORK/share/icons/hicolor"
export GT_PREFIX=gte$(($$ % 100000)) GT_STATE=$WORK/rig XDG_RUNTIME_DIR=$WORK/xdg QT_QPA_PLATFORM=xcb
at_exit() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; "$RIG" down >/dev/null 2>&1; }
unset WAYLAND_DISPLAY SESSION_MANAGER
log=$WORK/app.log
applog() { grep -qE "$1" "$log"; }
since() { tail -n +"$((mark + 1))" "$log" | grep -qE "$1"; }
geom() { grep -E "$1" "$log" | tail -1 | sed -E 's/.* (-?[0-9]+),(-?[0-9]+) ([0-9]+)x([0-9]+).*/\1 \2 \3 \4/'; }
click_widget() {  # click_widget NAME [X offset; default the middle]
  local x y w h
  read -r x y w h < <(geom "^WIDGET $1 ") && [ -n "${w:-}" ] && xdotool mousemove $((x + ${2:-w / 2})) $((y + h / 2)) click 1
}
icon() { mark=$(wc -l <"$log") && xdotool mousemove $((x + w / 2)) $((y + h / 2)) click "$1"; }  # icon BUTTON
shot() { sleep 0.5 && /usr/bin/import -window root "$OUT/$1" && echo "screenshot $OUT/$1"; }

Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp 5>"$WORK/display" 2>"$WORK/xvfb.log" & PIDS+=($!)
waitfor 10 test -s "$WORK/display" || fail "Xvfb did not start"
export DISPLAY=":$(cat "$WORK/display")"
# A session bus that starts nothing by itself.
echo "<busconfig><type>session</type><listen>unix:path=$WORK/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">
  <allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>" >"$WORK/bus.conf"
out=$(dbus-daemon --config-file="$WORK/bus.conf" --fork --print-address=1 --print-pid=1) || fail "no session bus"
export DBUS_SESSION_BUS_ADDRESS=${out%%$'\n'*}; PIDS+=("${out##*$'\n'}")

"$RIG" up >"$WORK/rig.log" 2>&1 || {
  grep -q 'Operation not permitted' "$WORK/rig.log" && { echo "SKIP: no network namespaces here"; exit 77; }
  fail "the namespaces did not come up"
}
CODE=4821
"$RIG" exec dev python3 "$HERE/../../tools/sim_phone.py" --bind 198.18.0.1 --advertise "书房的手机" --code "$CODE" \
  --device "Pixel 8" >"$WORK/phone.log" 2>&1 & PIDS+=($!)
waitfor 10 grep -q '^READY' "$WORK/phone.log" || fail "the simulated phone did not start"
advertised() { "$RIG" exec app avahi-browse -t -p _glowticker._tcp 2>/dev/null | grep -q '^+'; }
waitfor 15 advertised || fail "the app's side never saw the phone advertised"

"$RIG" exec app env HOME="$WORK/home" GLOWTICKER_UI_TRACE=1 "$BIN/glowticker-app" >"$log" 2>&1 & APP=$!
PIDS+=($APP)
waitfor 10 applog 'no system tray yet' || fail "the missing tray was not explained"
trayer --edge top --align right --widthtype request --height 24 --SetDockType true --transparent false \
  --tint 0xe8e8e8 --expand false >"$WORK/trayer.log" 2>&1 & TRAYER=$!
PIDS+=($TRAYER)
waitfor 10 applog 'TRAY_GEOMETRY [1-9][0-9]*,-?[0-9]+ [1-9]' || fail "the icon never docked"  # 0,0 before it docks
read -r x y w h < <(geom '^TRAY_GEOMETRY')
shot 1-tray.png

icon 1
waitfor 5 since '^PANEL_SHOWN' || fail "clicking the icon did not open the panel"
waitfor 8 since '^WIDGET devicePicker ' || fail "the pairing view listed no device"
sleep 0.3
click_widget codeField || fail "cannot click the code field"
xdotool type --delay 60 "$CODE"
shot 2-pairing.png
click_widget pairButton || fail "cannot click the pair button"
waitfor 10 applog '^WIDGET unpairButton ' || fail "the status view did not appear after pairing"
waitfor 12 grep -q 'PROBE ok' "$WORK/phone.log" || fail "the app never probed the phone with its token"
shot 3-status.png

click_widget hookToggle-claude 10 || fail "no claude hook switch"
waitfor 15 applog '^WIDGET (installResult|hookError) ' || fail "flipping the hook showed neither a report nor an error"
applog '^WIDGET hookError ' && fail "the hook switch reported an error"
waitfor 5 test -s "$WORK/home/.claude/settings.json" || fail "the claude hook was not written"
shot 4-hook.png
xdotool key Escape && sleep 0.6  # a click just after the panel hides is taken for the one that hid it

icon 1
waitfor 5 since '^WIDGET unpairButton ' || fail "the reopened panel does not show the status view"
sleep 0.3
icon 1
waitfor 5 since '^PANEL_HIDDEN' || fail "a second click on the icon did not close the panel"
sleep 0.6
since '^PANEL_SHOWN' && fail "the click that closed the panel opened it again"

icon 1
waitfor 5 since '^WIDGET unpairButton ' || fail "no unpair button"
mark=$(wc -l <"$log")
click_widget unpairButton || fail "cannot click the unpair button"
waitfor 5 since '^WIDGET (codeField|rescanButton) ' || fail "the pairing view did not come back after unpairing"
[ -e "$WORK/home/.glowticker/config.json" ] && fail "the pairing file is still there after unpairing"
shot 7-unpaired.png

xdotool key Escape
sleep 0.3
icon 3
shot 6-context-menu.png
xdotool key Up Return  # the last entry, "退出"
waitfor 10 eval '! kill -0 "$APP" 2>/dev/null' || fail "choosing 退出 did not end the app"
wait "$APP" || fail "the app ended with status $? after 退出"

kill "$TRAYER"
"$RIG" exec app env HOME="$WORK/home" XDG_DATA_DIRS="$WORK/share" "$BIN/glowticker-app" >"$WORK/sni.log" 2>&1 & PIDS+=($!)
waitfor 10 grep -q 'no system tray yet' "$WORK/sni.log" || fail "the missing tray was not explained"
/usr/bin/python3 "$HERE/fake_tray_watcher.py" --scheme 1 >"$WORK/watcher.log" 2>&1 & PIDS+=($!)
waitfor 10 grep -q '^ITEM title=Glowticker icon=glowticker-offline-symbolic dial=#f2f2f2$' "$WORK/watcher.log" ||
  fail "no item registered with the late watcher, or the wrong title, icon name or dial colour for a dark desktop"
[ "$(grep -c tray "$WORK/sni.log")" -eq 1 ] || fail "not exactly one line about the tray"
echo "PASS: screenshots in $OUT"
