#!/bin/bash
# The tray app left alone while paired with a reachable simulated phone on 127.0.0.1: resident
# memory and CPU seconds over the idle window, read from /proc, with a bare `sleep` beside it as the
# floor. Runs headless (QT_QPA_PLATFORM=offscreen) with a private session bus and a temporary HOME.
# Usage: app_idle.sh BIN_DIR [SECONDS]   (BIN_DIR holds glowticker-app and gt-notify-sink)
set -u
bin=$(cd "${1:?usage: app_idle.sh BIN_DIR [SECONDS]}" && pwd)
secs=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
sim=$here/../../tools/sim_phone.py
for p in "$bin/glowticker-app" "$bin/gt-notify-sink"; do [ -x "$p" ] || { echo "missing $p" >&2; exit 1; }; done
command -v dbus-daemon >/dev/null || { echo "dbus-daemon is missing (Debian package dbus)" >&2; exit 1; }
source "${BASH_SOURCE%/*}/scratch.sh" gt-idle
mkdir -p "$run/home/.glowticker" "$run/xdg"
chmod 700 "$run/home/.glowticker" "$run/xdg"
unset DISPLAY WAYLAND_DISPLAY
export HOME=$run/home XDG_RUNTIME_DIR=$run/xdg QT_QPA_PLATFORM=offscreen
out=$(dbus-daemon --session --fork --address="unix:path=$run/bus" --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$out")
pids+=("$(sed -n 2p <<<"$out")")
"$bin/gt-notify-sink" >/dev/null 2>&1 &
pids+=($!)

python3 -u "$sim" --bind 127.0.0.1 --code 1234 --token idle-token --stop-after $((secs + 60)) >"$run/phone.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q READY "$run/phone.log" && break; sleep 0.05; done
port=$(sed -n 's/.*READY port=\([0-9]*\).*/\1/p' "$run/phone.log")
[ -n "$port" ] || { echo "the simulated phone did not start" >&2; cat "$run/phone.log"; exit 1; }
cat >"$run/home/.glowticker/config.json" <<JSON
{
  "device_name" : "Sim phone",
  "host" : "127.0.0.1",
  "ws_port" : $port,
  "http_port" : $port,
  "token" : "idle-token",
  "paired_at" : "2026-12-07T00:00:00Z"
}
JSON
chmod 600 "$run/home/.glowticker/config.json"

ticks=$(getconf CLK_TCK)
cpu() { awk -v t="$ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$1/stat"; }
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
hwm() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

"$bin/glowticker-app" >"$run/app.log" 2>&1 &
app=$!
pids+=("$app")
sleep "${secs}" &
floor=$!
pids+=("$floor")
sleep 5  # start-up is measured elsewhere; the window starts once the app has settled
kill -0 "$app" 2>/dev/null || { echo "the app exited:" >&2; cat "$run/app.log" >&2; exit 1; }
c0=$(cpu "$app"); f0=$(cpu "$floor"); r0=$(rss "$app"); probes0=$(grep -c 'PROBE ok' "$run/phone.log")
sleep "$secs"
kill -0 "$app" 2>/dev/null || { echo "the app exited:" >&2; cat "$run/app.log" >&2; exit 1; }
c1=$(cpu "$app"); r1=$(rss "$app"); h1=$(hwm "$app"); probes1=$(grep -c 'PROBE ok' "$run/phone.log")
f1=$(cpu "$floor" 2>/dev/null || echo "$f0")
echo "idle window: ${secs} s, paired with the simulated phone at 127.0.0.1:$port"
echo "glowticker-app CPU seconds in the window: $(awk -v a="$c0" -v b="$c1" 'BEGIN { printf "%.2f", b - a }')" \
  "(sleep beside it: $(awk -v a="$f0" -v b="$f1" 'BEGIN { printf "%.2f", b - a }'))"
echo "glowticker-app RSS: ${r0} KiB at the start of the window, ${r1} KiB at its end, peak ${h1} KiB"
echo "probes the phone answered in the window: $((probes1 - probes0))"
