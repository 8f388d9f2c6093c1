#!/bin/sh
# Runs gt-bench-notify-latency against a private session bus served by gt-notify-sink; nothing
# touches the user's desktop. Usage: notify_latency.sh LATENCY_BENCH NOTIFY_SINK [EVENTS]
set -eu
bench=${1:?usage: notify_latency.sh LATENCY_BENCH NOTIFY_SINK [EVENTS]}
sink=${2:?usage: notify_latency.sh LATENCY_BENCH NOTIFY_SINK [EVENTS]}
events=${3:-2000}
command -v dbus-daemon >/dev/null 2>&1 || { echo "notify_latency.sh: dbus-daemon is missing (Debian package dbus)" >&2; exit 1; }
run=$(mktemp -d /tmp/gt-notify-bench.XXXXXX)
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  rm -rf "$run"
}
trap cleanup EXIT
out=$(dbus-daemon --session --fork --address="unix:path=$run/bus" --print-address=1 --print-pid=1)
DBUS_SESSION_BUS_ADDRESS=$(echo "$out" | sed -n 1p)
pids="$(echo "$out" | sed -n 2p)"
export DBUS_SESSION_BUS_ADDRESS
"$sink" --log "$run/notify.jsonl" &
pids="$pids $!"
i=0
until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
  org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>/dev/null | grep -q true; do
  i=$((i + 1))
  [ "$i" -le 100 ] || { echo "notify_latency.sh: the notification sink did not start" >&2; exit 1; }
  sleep 0.05
done
"$bench" "$events"
echo "Notify calls logged by the sink: $(wc -l <"$run/notify.jsonl")"
