#!/bin/bash
# glowticker-app without a tray (no display, a dead one, offscreen) turns each send into a notification; one
# copy per user; survives ~/.glowticker's removal; ends in order on TERM, INT, HUP. Usage: APP CLI SINK
set -u
APP=$1 CLI=$2 SINK=$3
command -v dbus-daemon >/dev/null || { echo "SKIP: dbus-daemon is not installed (package dbus)"; exit 77; }
source "$(dirname "$0")/../support/e2e.sh"
runapp() {  # runapp NAME [VAR=value...]: execs the app as scenario NAME's user, after $WRAP

  local name=$1; shift
  exec ${WRAP:-} env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_CONFIG_HOME HOME="$WORK/home-$name" XDG_RUNTIME_DIR="$WORK/xdg-$name" \
    DBUS_SESSION_BUS_ADDRESS="$bus" "$@" "$APP"
}
sent() { [ "$(grep -c '"summary":"claude · 任务完成"' "$log")" -eq "$1" ]; }  # sent N: N notifications so far
send() { HOME=$home "$CLI" send --agent claude --title "任务完成" --message 'tests <pass> & done' --ts 42; }

scenario() {  # scenario NAME EXPLANATION [VAR=value...]; leaves home, bus, log and app set
  local name=$1 why=$2; shift 2
  home=$WORK/home-$name
  mkdir -p "$home" "$WORK/xdg-$name" && chmod 700 "$WORK/xdg-$name"
  private_bus "$WORK/bus-$name"
  log=$WORK/sink-$name.jsonl
  start_sink "sink-$name" "$SINK"
  runapp "$name" "$@" >"$WORK/app-$name.log" 2>&1 &
  app=$!; PIDS+=($app)
  waitfor 10 test -S "$home/.glowticker/run/events.sock" || fail "$name: no event socket"
  send || fail "$name: glowticker send failed"
  waitfor 10 grep -q '"summary":"claude · 任务完成"' "$log" || fail "$name: no notification arrived"
  kill -0 "$app" 2>/dev/null && grep -q "$why" "$WORK/app-$name.log" || fail "$name: exited, or \"$why\" not printed"
}

scenario nodisplay 'no display'
scenario deaddisplay 'cannot use the display (WAYLAND_DISPLAY=, DISPLAY=:4242)' DISPLAY=:4242
scenario deadwayland 'cannot use the display (WAYLAND_DISPLAY=gt-gone' WAYLAND_DISPLAY=gt-gone XDG_SESSION_TYPE=wayland
scenario notray 'offscreen platform has no system tray' QT_QPA_PLATFORM=offscreen GLOWTICKER_UI_TRACE=1

out=$(WRAP="timeout 10" runapp notray 2>&1) || fail "second start ended with status $?: $out"
[ "$(wc -l <<<"$out")" -eq 1 ] && grep -q 'already running' <<<"$out" || fail "second start said: $out"
waitfor 5 grep -q '^PANEL_SHOWN' "$WORK/app-notray.log" || fail "the running copy did not show its panel"
send && waitfor 10 sent 2 || fail "after a second start, an event was lost"
kill -9 "$app"; wait "$app" 2>/dev/null
entry=$home/.config/autostart/glowticker.desktop  # the app has moved since autostart was switched on
mkdir -p "${entry%/*}" && printf '[Desktop Entry]\nExec=/gone/glowticker-app --tray\n' >"$entry"
runapp notray >"$WORK/app-after-kill.log" 2>&1 & app=$!; PIDS+=($app)
waitfor 5 send 2>/dev/null || fail "after kill -9, a new start did not take events within 5 s"
grep -qxF "Exec=$(realpath "$APP") --tray" "$entry" || fail "the autostart entry was not repaired: $(cat "$entry")"
waitfor 10 sent 3 || fail "after kill -9, the event did not become a notification"
# Once ~/.glowticker goes, the app binds again; a start without the lock file finds it by its bus name.
rm -rf "$home/.glowticker"
waitfor 25 send 2>/dev/null && waitfor 10 sent 4 || fail "events did not come back after ~/.glowticker was removed"
out=$(WRAP="timeout 10" runapp notray 2>&1) && grep -q 'already running' <<<"$out" || fail "a start without the lock: $out"
send && waitfor 10 sent 5 || fail "after a start without the lock, an event was lost"
# Each signal: status 0, the socket gone. At TERM a silent server holds one event, two wait: none lost silently.
sock=$home/.glowticker/run/events.sock
start_sink silent "$SINK" --silent
send && send && send || fail "an event before TERM was refused"
for sig in TERM INT HUP; do
  [ $sig = TERM ] || { waitfor 10 eval '! dbus-send --bus="$bus" --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:io.glowticker.Desktop | grep -q true'
    runapp notray >"$WORK/app-after-kill.log" 2>&1 & app=$!; PIDS+=($app); waitfor 10 test -S "$sock" || fail "$sig: no start"; }
  kill -$sig $app; wait $app || fail "$sig: status $?"
  [ ! -e "$sock" ] && grep -q "ending on SIG$sig" "$WORK/app-after-kill.log" || fail "$sig: the socket stayed or the end was not logged"
  [ $sig = TERM ] && { told=$(sed -n 's/.* \([0-9]*\) events not shown/\1/p' "$WORK/app-after-kill.log")
    [ $((${told:-0} + $(grep -c 'notify add failed\|notify skipped' "$WORK/app-after-kill.log"))) -ge 2 ] || fail "TERM: events lost silently"; }
done
echo "PASS"
