#!/bin/bash
# glowticker-app without a tray, on a private session bus with a recording notification server: one
# `glowticker send` becomes one notification. Run with no display, offscreen (no tray host) and with a
# DISPLAY no X server answers (must not abort). Usage: app_notify_e2e.sh APP_BIN GLOWTICKER_BIN NOTIFY_SINK_BIN
set -u
APP=$1 CLI=$2 SINK=$3
command -v dbus-daemon >/dev/null || { echo "SKIP: dbus-daemon is not installed (package dbus)"; exit 77; }
WORK=$(mktemp -d /tmp/gt-app-e2e.XXXXXX)
PIDS=()
trap 'for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; rm -rf "$WORK"' EXIT
waitfor() {  # waitfor SECONDS command...: bounded poll
  local end=$(($(date +%s%3N) + $1 * 1000)); shift
  until "$@"; do [ "$(date +%s%3N)" -gt "$end" ] && return 1; sleep 0.05; done
}
fail() { echo "FAIL: $*"; for f in "$WORK"/*.log; do echo "--- $f"; cat "$f"; done; exit 1; }

scenario() {  # scenario NAME [env assignments for the app...]
  local name=$1 home=$WORK/home-$1 out; shift
  mkdir -p "$home" "$WORK/xdg-$name" && chmod 700 "$WORK/xdg-$name"
  out=$(dbus-daemon --session --fork --address="unix:path=$WORK/bus-$name" --print-address=1 --print-pid=1) ||
    fail "no private session bus"
  local bus=${out%%$'\n'*} log=$WORK/sink-$name.jsonl; PIDS+=("${out##*$'\n'}")
  DBUS_SESSION_BUS_ADDRESS=$bus "$SINK" --log "$log" >"$WORK/sink-$name.log" 2>&1 & PIDS+=($!)
  waitfor 10 grep -q ready "$WORK/sink-$name.log" || fail "$name: notification sink did not start"
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$home" XDG_RUNTIME_DIR="$WORK/xdg-$name" \
    DBUS_SESSION_BUS_ADDRESS="$bus" "$@" "$APP" >"$WORK/app-$name.log" 2>&1 &
  local app=$!; PIDS+=($app)
  waitfor 10 test -S "$home/.glowticker/run/events.sock" || fail "$name: the app never opened its event socket"
  HOME=$home "$CLI" send --agent claude --title "任务完成" --message 'tests <pass> & done' --ts 42 ||
    fail "$name: glowticker send failed"
  waitfor 10 grep -q '"summary":"claude · 任务完成"' "$log" || fail "$name: no notification arrived"
  grep -q '"app_name":"Glowticker"' "$log" || fail "$name: wrong app name"
  # The sink advertises body-markup: the body must arrive escaped so it shows exactly as sent.
  grep -q 'tests &lt;pass&gt; &amp; done' "$log" || fail "$name: body not shown as sent"
  kill -0 "$app" 2>/dev/null || fail "$name: the app exited"
  echo "ok: $name ($(wc -l <"$log") notification)"
}

scenario nodisplay
grep -q 'no display' "$WORK/app-nodisplay.log" || fail "nodisplay: no explanation printed"
scenario notray QT_QPA_PLATFORM=offscreen
grep -q 'icon will appear when a tray becomes available' "$WORK/app-notray.log" || fail "notray: missing tray not explained"
[ "$(grep -c 'tray' "$WORK/app-notray.log")" -eq 1 ] || fail "notray: expected exactly one line about the tray"
scenario deaddisplay DISPLAY=:4242
grep -q 'cannot reach the display :4242' "$WORK/app-deaddisplay.log" || fail "deaddisplay: no explanation printed"
echo "PASS"
