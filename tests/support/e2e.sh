# For the shell end-to-end tests: $WORK, gone at exit with every process in PIDS; bounded waits; failures show every log.
WORK=$(mktemp -d "/tmp/gt-$(basename "$0" .sh).XXXXXX")
PIDS=()
at_exit() { :; }
trap 'at_exit; for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; rm -rf "$WORK"' EXIT
waitfor() {  # waitfor SECONDS command...: bounded poll
  local end=$(($(date +%s%3N) + $1 * 1000)); shift
  until "$@"; do [ "$(date +%s%3N)" -gt "$end" ] && return 1; sleep 0.05; done
}
fail() { echo "FAIL: $*"; for f in "$WORK"/*.log; do echo "--- $f"; cat "$f"; done; exit 1; }
private_bus() {  # private_bus PATH: a session bus at PATH; sets `bus`

  local out
  out=$(dbus-daemon --session --fork --address="unix:path=$1" --print-address=1 --print-pid=1) || fail "no private session bus"
  bus=${out%%$'\n'*}; PIDS+=("${out##*$'\n'}")
}
start_sink() {  # start_sink NAME SINK_BIN [options...]: on $bus, logging to $WORK/NAME.jsonl

  local name=$1; shift
  DBUS_SESSION_BUS_ADDRESS=$bus "$@" --log "$WORK/$name.jsonl" >"$WORK/$name.log" 2>&1 & PIDS+=($!)
  waitfor 10 grep -q ready "$WORK/$name.log" || fail "the notification server did not start"
}
