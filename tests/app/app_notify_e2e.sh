#!/bin/bash
# glowticker-app end to end, without a tray: a temporary HOME, a private session bus with a recording
# notification server (gt-notify-sink), `glowticker send` -> one notification with the agent's texts.
# Runs three times: with no display at all (no widgets), on the offscreen platform (widgets, no tray
# host), and with a DISPLAY that no X server answers (must not abort).
# Usage: app_notify_e2e.sh APP_BIN GLOWTICKER_BIN NOTIFY_SINK_BIN
set -u
APP=$1 CLI=$2 SINK=$3
command -v dbus-daemon >/dev/null || { echo "SKIP: dbus-daemon is not installed (package dbus)"; exit 77; }

WORK=$(mktemp -d /tmp/gt-app-e2e.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
ms() { date +%s%3N; }
waitfor() {  # waitfor SECONDS command...: bounded poll
  local end=$(($(ms) + $1 * 1000)); shift
  until "$@"; do [ "$(ms)" -gt "$end" ] && return 1; sleep 0.05; done
}
fail() { echo "FAIL: $*"; for f in "$WORK"/*.log; do echo "--- $f"; cat "$f"; done; exit 1; }

scenario() {  # scenario NAME [env assignments for the app...]
  local name=$1; shift
  local home=$WORK/home-$name
  mkdir -p "$home" "$WORK/xdg-$name"; chmod 700 "$WORK/xdg-$name"
  local out
  out=$(dbus-daemon --session --fork --address="unix:path=$WORK/bus-$name" --print-address=1 --print-pid=1) ||
    fail "no private session bus"
  local bus; bus=$(sed -n 1p <<<"$out"); PIDS+=("$(sed -n 2p <<<"$out")")
  DBUS_SESSION_BUS_ADDRESS=$bus "$SINK" --log "$WORK/sink-$name.jsonl" >"$WORK/sink-$name.log" 2>&1 &
  PIDS+=($!)
  waitfor 10 grep -q ready "$WORK/sink-$name.log" || fail "$name: notification sink did not start"

  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$home" XDG_RUNTIME_DIR="$WORK/xdg-$name" \
    DBUS_SESSION_BUS_ADDRESS="$bus" "$@" "$APP" >"$WORK/app-$name.log" 2>&1 &
  local app=$!; PIDS+=($app)
  local sock=$home/.glowticker/run/events.sock
  waitfor 10 test -S "$sock" || fail "$name: the app never opened $sock"

  HOME=$home "$CLI" send --agent claude --title "任务完成" --message 'tests <pass> & done' --ts 42 ||
    fail "$name: glowticker send failed"
  waitfor 10 grep -q '"summary":"claude · 任务完成"' "$WORK/sink-$name.jsonl" || fail "$name: no notification arrived"
  grep -q '"app_name":"Glowticker"' "$WORK/sink-$name.jsonl" || fail "$name: wrong app name"
  # The sink advertises body-markup: the body must arrive escaped so it shows exactly as sent.
  grep -q 'tests &lt;pass&gt; &amp; done' "$WORK/sink-$name.jsonl" || fail "$name: body not shown as sent"
  kill -0 "$app" 2>/dev/null || fail "$name: the app exited"
  echo "ok: $name ($(wc -l <"$WORK/sink-$name.jsonl") notification)"
}

scenario nodisplay
grep -q 'no display' "$WORK/app-nodisplay.log" || fail "nodisplay: no explanation printed"
scenario notray QT_QPA_PLATFORM=offscreen
grep -q 'icon will appear when a tray becomes available' "$WORK/app-notray.log" ||
  fail "notray: the missing tray was not explained"
[ "$(grep -c 'tray' "$WORK/app-notray.log")" -eq 1 ] || fail "notray: expected exactly one line about the tray"
scenario deaddisplay DISPLAY=:4242
grep -q 'cannot reach the display :4242' "$WORK/app-deaddisplay.log" || fail "deaddisplay: no explanation printed"
echo "PASS"
