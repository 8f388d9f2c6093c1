#!/bin/bash
# The app's memory after a burst of large events: RECORDS records whose message is about 1 MB (each under
# the record bound) arrive at once on CONNS connections; the growth of its resident memory is read from
# /proc at the peak (VmHWM) and once every notification is shown (VmRSS, after the sink has logged the
# last one and a settling second), against the app's resident memory before the burst. Each app runs
# headless on a private session bus with gt-notify-sink and a temporary HOME; apps take turns, RUNS times.
# Usage: burst_memory.sh NOTIFY_SINK APP [APP...]   (env RECORDS=300 CONNS=4 RUNS=3)
set -u
sink=${1:?usage: burst_memory.sh NOTIFY_SINK APP [APP...]}
shift
[ $# -ge 1 ] || { echo "usage: burst_memory.sh NOTIFY_SINK APP [APP...]" >&2; exit 1; }
records=${RECORDS:-300} conns=${CONNS:-4} runs=${RUNS:-3}
command -v dbus-daemon >/dev/null || { echo "dbus-daemon is missing (Debian package dbus)" >&2; exit 1; }
source "${BASH_SOURCE%/*}/scratch.sh" gt-burst
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
kib() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }

# burst SOCKET: RECORDS records over CONNS connections, as fast as the app reads them.
burst() {
  python3 - "$1" "$records" "$conns" <<'PY'
import json, socket, sys, threading
path, n, conns = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
body = ("x" * 99 + "\n") * 9990  # 999,000 bytes
def send(part):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    for i in range(part, n, conns):
        rec = {"type": "t", "agent": "claude", "state": "done", "title": "burst %d" % i, "message": body,
               "project": "p", "ts": i}
        s.sendall((json.dumps(rec) + "\n").encode())
    s.close()
threads = [threading.Thread(target=send, args=(c,)) for c in range(conns)]
for t in threads: t.start()
for t in threads: t.join()
PY
}

# measure APP N: one run; prints "peak_growth_kib after_growth_kib shown"
measure() {
  local app=$1 n=$2 home=$run/home-$2 log=$run/sink-$2.jsonl out bus busp sinkp appp base shown last
  mkdir -p "$home" "$run/xdg-$n" && chmod 700 "$run/xdg-$n"
  out=$(dbus-daemon --session --fork --address="unix:path=$run/bus-$n" --print-address=1 --print-pid=1)
  bus=$(sed -n 1p <<<"$out") busp=$(sed -n 2p <<<"$out")
  pids+=("$busp")
  DBUS_SESSION_BUS_ADDRESS=$bus "$sink" --log "$log" >"$run/sink-$n.out" 2>&1 &
  sinkp=$!
  pids+=("$sinkp")
  for _ in $(seq 100); do grep -q ready "$run/sink-$n.out" && break; sleep 0.05; done
  HOME=$home XDG_RUNTIME_DIR=$run/xdg-$n DBUS_SESSION_BUS_ADDRESS=$bus "$app" >"$run/app-$n.log" 2>&1 &
  appp=$!
  pids+=("$appp")
  for _ in $(seq 200); do [ -S "$home/.glowticker/run/events.sock" ] && break; sleep 0.05; done
  [ -S "$home/.glowticker/run/events.sock" ] || { echo "the app did not open its socket" >&2; cat "$run/app-$n.log" >&2; exit 1; }
  sleep 2  # settled after start
  base=$(kib "$appp" VmRSS)
  burst "$home/.glowticker/run/events.sock"
  # Shown: the sink's log stops growing (the app drops the oldest it cannot queue).
  last=-1 shown=0
  for _ in $(seq 600); do
    shown=$(grep -c . "$log" 2>/dev/null || echo 0)
    [ "$shown" = "$last" ] && [ "$shown" -gt 0 ] && break
    last=$shown
    sleep 0.5
  done
  sleep 1
  echo "$(($(kib "$appp" VmHWM) - base)) $(($(kib "$appp" VmRSS) - base)) $shown"
  kill "$appp" "$sinkp" "$busp" 2>/dev/null
  wait "$appp" "$sinkp" 2>/dev/null
  rm -f "$log"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
declare -A peaks afters
for ((r = 1; r <= runs; r++)); do
  i=0
  for app in "$@"; do
    measure "$app" "$r-$i" >"$run/result"
    read -r peak after shown <"$run/result"
    echo "run $r $app: peak +$((peak / 1024)) MiB, after +$((after / 1024)) MiB ($shown notifications shown)"
    peaks[$i]+="$peak "
    afters[$i]+="$after "
    i=$((i + 1))
  done
done
echo "$records records of about 1 MB on $conns connections; medians of $runs runs (growth over the RSS before the burst):"
i=0
for app in "$@"; do
  p=$(tr ' ' '\n' <<<"${peaks[$i]}" | grep . | median) a=$(tr ' ' '\n' <<<"${afters[$i]}" | grep . | median)
  echo "  $app: peak +$((p / 1024)) MiB, after +$((a / 1024)) MiB"
  i=$((i + 1))
done
