#!/bin/sh
# Whole-process time of `glowticker send` beside /bin/true and beside python3 doing the same send,
# measured in one hyperfine run (medians and ratios printed at the end). With LIGHT_SEND (the same
# send code linked alone) the start-up cost of the full program's libraries shows separately.
# Usage: send_timing.sh GLOWTICKER BENCH_EVENT_SINK [LIGHT_SEND]; GT_RUNS sets the runs (300).
set -eu
usage="usage: send_timing.sh GLOWTICKER BENCH_EVENT_SINK [LIGHT_SEND]"
glowticker=${1:?$usage}
sink=${2:?$usage}
light=${3:-}
runs=${GT_RUNS:-300}
if ! command -v hyperfine >/dev/null 2>&1; then
  echo "send_timing.sh: hyperfine is missing; install it with: apt-get install -y --no-install-recommends hyperfine" >&2
  exit 1
fi

home=$(mktemp -d /tmp/gtsend-XXXXXX)
sink_pid=
cleanup() {
  if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; wait "$sink_pid" 2>/dev/null || true; fi
  rm -rf "$home"
}
trap cleanup EXIT
HOME=$home
export HOME
"$sink" >"$home/sink.out" &
sink_pid=$!
i=0
while [ ! -S "$home/.glowticker/run/events.sock" ]; do
  i=$((i + 1))
  if [ "$i" -gt 50 ]; then echo "send_timing.sh: the event sink did not start" >&2; exit 1; fi
  sleep 0.1
done

py='import socket,json,os,time;s=socket.socket(socket.AF_UNIX);s.settimeout(2);s.connect(os.path.expanduser("~/.glowticker/run/events.sock"));s.sendall((json.dumps({"type":"manual","agent":"bench","state":"","title":"t","message":"m","project":"","ts":int(time.time()*1000)})+"\n").encode());s.close()'

set -- -n true /bin/true -n "glowticker send" "$glowticker send --agent bench --title t --message m"
if [ -n "$light" ]; then set -- "$@" -n "send code alone" "$light send --agent bench --title t --message m"; fi
set -- "$@" -n "python3 -c send" "/usr/bin/python3 -c '$py'"
hyperfine -N --warmup 20 --runs "$runs" --export-json "$home/times.json" "$@"

kill "$sink_pid"
wait "$sink_pid" || true
sink_pid=
echo "event sink received: $(tail -n 1 "$home/sink.out")"

/usr/bin/python3 - "$home/times.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
base = results["true"]["median"]
for name in ("true", "glowticker send", "send code alone", "python3 -c send"):
    if name not in results:
        continue
    m = results[name]["median"]
    print(f"{name:16s} median {m * 1000:8.3f} ms  {m / base:6.2f}x /bin/true")
PY
