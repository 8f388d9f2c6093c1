#!/usr/bin/env bash
# Namespaces ${P}-dev (198.18.0.1) and ${P}-app (198.18.0.2) joined by a veth, each with its own system bus and
# avahi-daemon; nothing runs in the host namespace, whose /run and /etc/avahi stay untouched: mDNS only crosses the veth.
#   avahi_rig.sh up | down | exec dev|app CMD… | stop-avahi dev|app   (as root; env GT_PREFIX <= 9 chars, GT_STATE)
set -euo pipefail

P=${GT_PREFIX:-gt}
STATE=${GT_STATE:-/tmp/$P-avahi}
side_idx() { case $1 in dev) echo 1;; app) echo 2;; *) echo "side must be dev or app" >&2; exit 2;; esac; }
bus_of() { echo "unix:path=$STATE/$1/bus.sock"; }
# Runs in place of the calling (sub)shell, so a background start's $! is the command's own PID.
exec_in() { local s=$1; shift; side_idx "$s" >/dev/null; exec ip netns exec "$P-$s" env DBUS_SYSTEM_BUS_ADDRESS="$(bus_of "$s")" "$@"; }
wait_for() { local n=$1; shift; until "$@" >/dev/null 2>&1; do n=$((n-1)); [ "$n" -gt 0 ] || return 1; sleep 0.05; done; }

write_configs() {   # no service dirs, so bus activation can never spawn a stock avahi-daemon
  local s=$1 d=$STATE/$1
  mkdir -p "$d/services"
  echo "<busconfig><type>system</type><listen>unix:path=$d/bus.sock</listen><auth>EXTERNAL</auth><policy context=\"default\">
    <allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>" >"$d/dbus.conf"
  printf '%s\n' "[server]" "host-name=$P-$s" "use-ipv6=no" "allow-interfaces=$P-${s}0" \
    "ratelimit-interval-usec=1000000" "ratelimit-burst=1000" "[wide-area]" "enable-wide-area=no" \
    "[publish]" "publish-hinfo=no" "publish-workstation=no" "publish-aaaa-on-ipv4=no" >"$d/avahi-daemon.conf"
}

avahi_running() {  # GetState 2: host name probed and announced
  (exec_in "$1" dbus-send --system --print-reply --reply-timeout=500 --dest=org.freedesktop.Avahi / \
    org.freedesktop.Avahi.Server.GetState 2>/dev/null) | grep -q 'int32 2'
}

start_avahi() {
  local s=$1 d=$STATE/$1
  # ip netns exec gives a private mount namespace: a tmpfs over /run hides the host's avahi and dbus
  # sockets and pid file, an empty dir hides the host's static services; exec keeps one PID.
  exec_in "$s" sh -c 'mount -n -t tmpfs -o mode=0755,size=1m gt-run /run &&
      mount -n --bind "$1/services" /etc/avahi/services &&
      exec avahi-daemon -f "$1/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits --no-proc-title
    ' sh "$d" </dev/null >"$d/avahi.log" 2>&1 &
  echo $! >"$d/avahi.pid"
  wait_for 200 avahi_running "$s" || { echo "avahi-daemon ($s) not ready; log:" >&2; cat "$d/avahi.log" >&2; return 1; }
}

up() {
  down
  rm -rf "$STATE"; mkdir -p "$STATE"
  ip netns add "$P-dev"; ip netns add "$P-app"
  # Both veth ends are created inside the namespaces: they never exist in the host namespace.
  ip link add "$P-dev0" netns "$P-dev" type veth peer name "$P-app0" netns "$P-app"
  local s
  for s in dev app; do
    ip -n "$P-$s" link set lo up; ip -n "$P-$s" link set "$P-${s}0" up
    ip -n "$P-$s" addr add "198.18.0.$(side_idx "$s")/24" dev "$P-${s}0"
    write_configs "$s"
    ip netns exec "$P-$s" dbus-daemon --config-file="$STATE/$s/dbus.conf" --nofork --nopidfile --nosyslog \
      </dev/null >"$STATE/$s/dbus.log" 2>&1 &
  done
  for s in dev app; do
    wait_for 100 test -S "$STATE/$s/bus.sock" || { echo "dbus-daemon ($s) did not start" >&2; cat "$STATE/$s/dbus.log" >&2; exit 1; }
  done
  start_avahi dev & local a=$!      # both daemons probe their host names in parallel (~1 s)
  start_avahi app || exit 1
  wait "$a" || exit 1
}

down() {  # kills only processes inside our namespaces, by PID; ip netns del unlinks even a stale entry
  local s
  for s in dev app; do
    kill -9 $(ip netns pids "$P-$s" 2>/dev/null) 2>/dev/null || true
    ip netns del "$P-$s" 2>/dev/null || true
  done
  rm -rf "$STATE"
}

cmd=${1:-}; shift || true
case $cmd in
  up) up ;;
  down) down ;;
  exec) exec_in "${1:?dev|app}" "${@:2}" ;;
  stop-avahi) kill "$(cat "$STATE/${1:?dev|app}/avahi.pid")"; wait_for 100 eval "! avahi_running $1" || true ;;
  *) sed -n '2,4p' "$0"; exit 2 ;;
esac
