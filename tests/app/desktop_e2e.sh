#!/bin/bash
# The tray app as a person sees it, on a private headless desktop: Xvfb, a private session bus, dunst
# (notifications), trayer (an XEmbed tray) and a temporary HOME. The app runs in one network namespace
# and the simulated phone, advertised over DNS-SD, in another, each with its own avahi-daemon
# (tests/discovery/avahi_rig.sh), so the pairing view finds the phone by a real search and mDNS only
# crosses the pair's own link. Clicks the icon, pairs with the phone's 4-digit code, flips a hook switch,
# sends an agent event, and saves screenshots of each step (those in README.md come from here).
#
# Usage (as root): tests/app/desktop_e2e.sh BIN_DIR [OUT_DIR]
#   BIN_DIR  folder with glowticker-app, glowticker, glowticker-cli and glowticker-hook (e.g. build/bin)
#   OUT_DIR  where the PNG screenshots and logs go (default: ./desktop-e2e)
# Exit: 0 all steps passed, 1 a step failed, 77 not root or a needed program is missing (skipped).
set -u
BIN=$(cd "${1:?usage: desktop_e2e.sh BIN_DIR [OUT_DIR]}" && pwd)
OUT=${2:-./desktop-e2e}
HERE=$(cd "$(dirname "$0")" && pwd)
RIG=$HERE/../discovery/avahi_rig.sh
SIM_PHONE=$HERE/../../tools/sim_phone.py
IMPORT=/usr/bin/import  # ImageMagick's; another `import` may come first on PATH

[ "$(id -u)" = 0 ] || { echo "SKIP: needs root for its network namespaces"; exit 77; }
for tool in Xvfb trayer dunst dunstctl xdotool dbus-daemon dbus-send python3 "$IMPORT" ip avahi-daemon avahi-publish \
  avahi-browse; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
for prog in glowticker-app glowticker glowticker-cli glowticker-hook; do
  [ -x "$BIN/$prog" ] || { echo "FAIL: $BIN/$prog is missing (build it first)"; exit 1; }
done

mkdir -p "$OUT"; OUT=$(cd "$OUT" && pwd)
rm -f "$OUT"/*.png "$OUT"/*.log
RUN=$(mktemp -d /tmp/gt-desktop-e2e.XXXXXX)
mkdir -p "$RUN/home" "$RUN/xdg"; chmod 700 "$RUN/xdg"
PIDS=()
# Namespaces and state named after this run, so parallel runs never meet.
export GT_PREFIX=gte$(($$ % 100000)) GT_STATE=$RUN/rig
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
  "$RIG" down >/dev/null 2>&1
  for f in "$RUN"/*.log; do [ -f "$f" ] && cp "$f" "$OUT/"; done
  rm -rf "$RUN"
}
trap cleanup EXIT
unset WAYLAND_DISPLAY SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS
export XDG_RUNTIME_DIR=$RUN/xdg QT_QPA_PLATFORM=xcb

ms() { date +%s%3N; }
waitfor() {  # waitfor SECONDS command...: poll, bounded
  local end=$(($(ms) + $1 * 1000)); shift
  until "$@"; do [ "$(ms)" -gt "$end" ] && return 1; sleep 0.05; done
}
fail() {
  echo "FAIL: $*"
  shot "failure.png" || true
  echo "--- app.log"; cat "$RUN/app.log" 2>/dev/null
  exit 1
}
step() { echo "== $*"; }
applog() { grep -qE "$1" "$RUN/app.log"; }
geom() {  # geom REGEX -> "x y w h" of the last matching trace line
  grep -E "$1" "$RUN/app.log" | tail -1 | sed -E 's/.* (-?[0-9]+),(-?[0-9]+) ([0-9]+)x([0-9]+).*/\1 \2 \3 \4/'
}
click_widget() {  # click_widget NAME [X offset; default the middle]
  local x y w h
  read -r x y w h < <(geom "^WIDGET $1 ") || return 1
  [ -n "${w:-}" ] || return 1
  xdotool mousemove $((x + ${2:-w / 2})) $((y + h / 2)) click 1
}
shot() { "$IMPORT" -window root "$OUT/$1" && echo "screenshot $OUT/$1"; }
red_in_icon() {  # red_in_icon PNG -> number of clearly red pixels where the tray icon sits
  local x y w h
  read -r x y w h < <(geom '^TRAY_GEOMETRY')
  /usr/bin/convert "$1" -crop "${w}x${h}+${x}+${y}" txt:- |
    awk -F'[(),]' 'NR > 1 && $3 > 180 && $4 < 130 && $5 < 130 { n++ } END { print n + 0 }'
}

# 1. X server on a free display number
step "desktop"
Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp 5>"$RUN/display" 2>"$RUN/xvfb.log" &
PIDS+=($!)
waitfor 10 test -s "$RUN/display" || fail "Xvfb did not start"
export DISPLAY=":$(cat "$RUN/display")"

# 2. a private session bus that auto-starts nothing
cat >"$RUN/session.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$RUN/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
BUSOUT=$(dbus-daemon --config-file="$RUN/session.conf" --fork --print-address=1 --print-pid=1) || fail "no session bus"
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$BUSOUT")
PIDS+=($(sed -n 2p <<<"$BUSOUT"))

# 3. dunst, logging every notification it shows
cat >"$RUN/dunst-log.sh" <<EOF
#!/bin/sh
echo "summary=\$2 body=\$3" >> "$RUN/dunst-shown.log"
EOF
chmod +x "$RUN/dunst-log.sh"
cat >"$RUN/dunstrc" <<EOF
[global]
    monitor = 0
    follow = none
    width = 320
    height = 120
    origin = top-right
    offset = 10x420
    font = Noto Sans CJK SC 10
    format = "<b>%s</b>\n%b"
    frame_width = 2
    frame_color = "#ff7800"
    background = "#222222"
    foreground = "#ffffff"
    browser = /bin/true
    dmenu = /bin/true
[urgency_low]
    timeout = 0
[urgency_normal]
    timeout = 0
[urgency_critical]
    timeout = 0
[log_everything]
    appname = "*"
    script = $RUN/dunst-log.sh
EOF
has_notifd() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>/dev/null | grep -q true
}
dunst -config "$RUN/dunstrc" >"$RUN/dunst.log" 2>&1 &
PIDS+=($!)
waitfor 10 has_notifd || fail "dunst did not take org.freedesktop.Notifications"

# 4. two network namespaces with their own avahi-daemons; the simulated phone advertises itself in one
step "network"
"$RIG" up >"$RUN/rig.log" 2>&1 || {
  grep -q 'Operation not permitted' "$RUN/rig.log" && { echo "SKIP: no network namespaces here"; exit 77; }
  cat "$RUN/rig.log"; fail "the namespaces did not come up"
}
CODE=4821
"$RIG" exec dev python3 "$SIM_PHONE" --bind 198.18.0.1 --advertise "书房的手机" --code "$CODE" --device "Pixel 8" \
  >"$RUN/phone.log" 2>&1 &
PIDS+=($!)
waitfor 10 grep -q '^READY' "$RUN/phone.log" || fail "the simulated phone did not start"
advertised() { "$RIG" exec app avahi-browse -t -p _glowticker._tcp 2>/dev/null | grep -q '^+'; }
waitfor 15 advertised || fail "the app's side never saw the phone advertised"

# 5. the app in the other namespace, with a temporary HOME
step "app"
"$RIG" exec app env HOME="$RUN/home" GLOWTICKER_UI_TRACE=1 "$BIN/glowticker-app" >"$RUN/app.log" 2>&1 &
APP=$!
PIDS+=($APP)
# The app starts before any tray host: it says so once, keeps working, and docks when a tray appears.
waitfor 10 applog 'no system tray yet' || fail "the missing tray was not explained"
waitfor 10 test -S "$RUN/home/.glowticker/run/events.sock" || fail "without a tray the app never opened its event socket"
# an XEmbed tray along the top right, like a light desktop panel
trayer --edge top --align right --widthtype request --height 24 --SetDockType true --transparent false \
  --tint 0xe8e8e8 --expand false >"$RUN/trayer.log" 2>&1 &
PIDS+=($!)
# Before it docks the icon's window may report 0,0; this tray sits at the top right.
waitfor 10 applog 'TRAY_GEOMETRY [1-9][0-9]*,-?[0-9]+ [1-9]' || fail "the icon never docked when the tray appeared"
[ "$(grep -c 'no system tray yet' "$RUN/app.log")" -eq 1 ] || fail "the missing tray was reported more than once"
sleep 0.3
shot 1-tray.png
[ "$(red_in_icon "$OUT/1-tray.png")" -gt 0 ] || fail "before pairing the icon lacks the red offline dot"

# 7. click the icon: the panel drops down with the pairing view, which finds the phone
step "pairing view"
read -r x y w h < <(geom '^TRAY_GEOMETRY')
xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
waitfor 5 applog '^PANEL_SHOWN' || fail "clicking the icon did not open the panel"
waitfor 8 applog '^WIDGET devicePicker ' || fail "the pairing view listed no device"
waitfor 5 applog '^WIDGET codeField ' || fail "no code field"
sleep 0.3
click_widget codeField || fail "cannot click the code field"
xdotool type --delay 60 "$CODE"
sleep 0.4
shot 2-pairing.png

# 8. pair: the panel switches to the status view once the phone answers the probe
step "pair"
click_widget pairButton || fail "cannot click the pair button"
waitfor 10 applog '^WIDGET unpairButton ' || fail "the status view did not appear after pairing"
waitfor 5 test -s "$RUN/home/.glowticker/config.json" || fail "no pairing file was written"
grep -q '"device_name": "书房的手机"' "$RUN/home/.glowticker/config.json" || fail "pairing file lacks the name"
waitfor 12 grep -q 'PROBE ok' "$RUN/phone.log" || fail "the app never probed the phone with its token"
sleep 0.6
shot 3-status.png
[ "$(red_in_icon "$OUT/3-status.png")" -eq 0 ] || fail "connected, yet the icon still shows the red dot"

# 9. flip the claude hook on: the companion tool edits the temporary HOME's ~/.claude/settings.json
step "hook"
click_widget hookToggle-claude 10 || fail "no claude hook switch"
waitfor 15 applog '^WIDGET (installResult|hookError) ' || fail "flipping the hook showed neither a report nor an error"
applog '^WIDGET hookError ' && fail "the hook switch reported an error"
waitfor 5 test -s "$RUN/home/.claude/settings.json" || fail "the claude hook was not written to the temporary HOME"
sleep 0.4
shot 4-hook.png

# 10. an agent event becomes a desktop notification
step "notification"
xdotool key Escape  # close the panel so the notification is seen on its own
HOME=$RUN/home "$BIN/glowticker" send --agent claude --title "任务完成" --message "重构已完成，测试全部通过" ||
  fail "glowticker send failed"
waitfor 10 grep -qs "summary=claude · 任务完成" "$RUN/dunst-shown.log" || fail "dunst did not show the notification"
grep -q 'body=重构已完成，测试全部通过' "$RUN/dunst-shown.log" || fail "the notification body differs"
sleep 0.5
shot 5-notification.png

# 11. the icon's context menu
step "context menu"
read -r x y w h < <(geom '^TRAY_GEOMETRY')
xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 3
sleep 0.6
shot 6-context-menu.png
xdotool key Escape
sleep 0.3

# 12. a click on the icon opens the panel, a second click on the icon closes it (and does not reopen it)
step "icon toggles the panel"
mark=$(wc -l <"$RUN/app.log")
since() { tail -n +"$((mark + 1))" "$RUN/app.log" | grep -qE "$1"; }
xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
waitfor 5 since '^PANEL_SHOWN' || fail "clicking the icon did not open the panel"
waitfor 5 since '^WIDGET unpairButton ' || fail "the reopened panel does not show the status view"
sleep 0.3
mark=$(wc -l <"$RUN/app.log")
xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
waitfor 5 since '^PANEL_HIDDEN' || fail "a second click on the icon did not close the panel"
sleep 0.6
since '^PANEL_SHOWN' && fail "the click that closed the panel opened it again"

# 13. unpair: the pairing file goes and the panel shows the pairing view again
step "unpair"
xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
waitfor 5 since '^PANEL_SHOWN' || fail "the panel did not open again"
waitfor 5 since '^WIDGET unpairButton ' || fail "no unpair button"
mark=$(wc -l <"$RUN/app.log")
click_widget unpairButton || fail "cannot click the unpair button"
waitfor 5 since '^WIDGET (codeField|rescanButton) ' || fail "the pairing view did not come back after unpairing"
[ -e "$RUN/home/.glowticker/config.json" ] && fail "the pairing file is still there after unpairing"
sleep 0.5
shot 7-unpaired.png
[ "$(red_in_icon "$OUT/7-unpaired.png")" -gt 0 ] || fail "after unpairing the icon lacks the red dot"
kill -0 "$APP" 2>/dev/null || fail "the app exited"

# 14. quit through the icon's menu: the process ends by itself, cleanly
step "quit"
xdotool key Escape
sleep 0.3
xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 3
sleep 0.5
xdotool key Up Return  # the last entry, "退出"
waitfor 10 eval '! kill -0 "$APP" 2>/dev/null' || fail "choosing 退出 did not end the app"
wait "$APP"; rc=$?
[ "$rc" -eq 0 ] || fail "the app ended with status $rc after 退出"
echo "PASS: screenshots in $OUT"
