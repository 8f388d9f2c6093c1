#!/bin/bash
# Start of glowticker-app to its icon docked in a tray host (Xvfb + trayer, private session bus,
# temporary HOME): the time from launch to the app's first TRAY_GEOMETRY trace line, repeated, with
# the whole-process time of xdpyinfo (a bare X client) measured the same way as the baseline.
# Usage: tray_dock.sh BIN_DIR [RUNS]   (BIN_DIR holds glowticker-app and gt-notify-sink)
set -u
bin=$(cd "${1:?usage: tray_dock.sh BIN_DIR [RUNS]}" && pwd)
runs=${2:-10}
for t in Xvfb trayer xdpyinfo dbus-daemon python3; do
  command -v "$t" >/dev/null || { echo "SKIP: $t is not installed" >&2; exit 77; }
done
for p in "$bin/glowticker-app" "$bin/gt-notify-sink"; do [ -x "$p" ] || { echo "missing $p" >&2; exit 1; }; done
source "${BASH_SOURCE%/*}/scratch.sh" gt-dock
mkdir -p "$run/home" "$run/xdg"
chmod 700 "$run/xdg"
unset WAYLAND_DISPLAY SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS
export HOME=$run/home XDG_RUNTIME_DIR=$run/xdg QT_QPA_PLATFORM=xcb GLOWTICKER_UI_TRACE=1
ms() { date +%s%3N; }
waitfor() {
  local end=$(($(ms) + $1 * 1000)); shift
  until "$@"; do [ "$(ms)" -gt "$end" ] && return 1; sleep 0.005; done
}

Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp 5>"$run/display" 2>"$run/xvfb.log" &
pids+=($!)
waitfor 10 test -s "$run/display" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$run/display")"
out=$(dbus-daemon --session --fork --address="unix:path=$run/bus" --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$out")
pids+=("$(sed -n 2p <<<"$out")")
"$bin/gt-notify-sink" >/dev/null 2>&1 &
pids+=($!)
trayer --edge top --align right --widthtype request --height 24 --SetDockType true --transparent false \
  --expand false >"$run/trayer.log" 2>&1 &
pids+=($!)
sleep 1

# Nanosecond clock in Python keeps the timer's own start-up out of the figure.
python3 - "$bin/glowticker-app" "$runs" <<'PY'
import os, statistics, subprocess, sys, time
app, runs = sys.argv[1], int(sys.argv[2])

def dock_once():
    t0 = time.monotonic_ns()
    p = subprocess.Popen([app], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)
    docked = None
    deadline = time.monotonic() + 15
    for line in p.stdout:
        if line.startswith("TRAY_GEOMETRY ") and " 0x0" not in line:
            docked = (time.monotonic_ns() - t0) / 1e6
            break
        if time.monotonic() > deadline:
            break
    p.terminate()
    try:
        p.wait(5)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
    return docked

def xdpyinfo_once():
    t0 = time.monotonic_ns()
    subprocess.run(["xdpyinfo"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return (time.monotonic_ns() - t0) / 1e6

docks, bases = [], []
for _ in range(runs):
    d = dock_once()
    if d is None:
        print("the icon never docked"); sys.exit(1)
    docks.append(d)
    bases.append(xdpyinfo_once())
    time.sleep(0.3)
md, mb = statistics.median(docks), statistics.median(bases)
print(f"start to icon docked: median {md:.0f} ms (min {min(docks):.0f}, max {max(docks):.0f}, {runs} runs)")
print(f"xdpyinfo whole process: median {mb:.0f} ms; ratio {md / mb:.1f}x")
PY
