#!/usr/bin/env bash
# The glowticker command as people and scripts use it: --help of every command, status's exit codes and
# --json, and a pairing code refused before anything reaches the phone (the simulated phone on loopback,
# a temporary HOME).
# Usage: cli_commands_test.sh GLOWTICKER SIM_PHONE_PY   (exits 77 without python3)
set -euo pipefail
gt_bin=$1 sim=$2
command -v python3 >/dev/null || { echo "SKIP: python3 is needed for the simulated phone"; exit 77; }
tmp=$(mktemp -d)
phone_pid=
cleanup() { [[ -z $phone_pid ]] || kill "$phone_pid" 2>/dev/null || true; rm -rf "$tmp"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
export HOME=$tmp/home http_proxy= HTTP_PROXY=
mkdir -p "$HOME"
gt() { timeout 20 "$gt_bin" "$@"; }
rc_of() { local rc=0; gt "$@" >"$tmp/out" 2>"$tmp/err" || rc=$?; echo "$rc"; }

for cmd in status devices pair unpair install uninstall hook send autostart; do
  for flag in --help -h; do
    [[ $(rc_of $cmd $flag) == 0 ]] || fail "$cmd $flag exited $(rc_of $cmd $flag): $(cat "$tmp/err")"
    head -n1 "$tmp/out" | grep -q "^Usage: glowticker $cmd" || fail "$cmd $flag: $(head -n1 "$tmp/out")"
    [[ ! -s $tmp/err ]] || fail "$cmd $flag wrote to standard error: $(cat "$tmp/err")"
  done
done
gt --help | grep -q "^Exit status:" || fail "glowticker --help lists no exit status"
# Help comes before anything else the words ask for: nothing is paired, installed or sent.
[[ $(rc_of pair --host 127.0.0.1 --http-port 9 --ws-port 9 --name x --code 1234 --help) == 0 ]] || fail "pair … --help"
[[ ! -e $HOME/.glowticker ]] || fail "a command asked for help left files behind"

state() { python3 -c 'import json,sys; j=json.load(open(sys.argv[1])); print(j["state"], j["pairing"] is None)' "$tmp/out"; }
[[ $(rc_of status) == 4 ]] || fail "status unpaired exited $(rc_of status)"
[[ $(rc_of status --json) == 4 && $(state) == "unpaired True" ]] || fail "status --json unpaired: $(cat "$tmp/out")"

# The phone may take one wrong code; a code that is not 4 digits must never reach it.
python3 "$sim" --bind 127.0.0.1 --code 4821 --max-attempts 1 --stop-after 60 >"$tmp/phone" &
phone_pid=$!
for _ in $(seq 100); do grep -q '^READY' "$tmp/phone" && break; sleep 0.05; done
port=$(sed -n 's/^READY port=\([0-9]*\) .*/\1/p' "$tmp/phone")
[[ -n $port ]] || fail "the simulated phone did not start"
pair() { rc_of pair --host 127.0.0.1 --http-port "$port" --ws-port 7001 --name Desk --code "$1"; }
for code in 12 12345 abcd "" "４８２"; do
  [[ $(pair "$code") == 2 ]] || fail "--code '$code' was not refused as a usage error"
  grep -q "nothing was sent" "$tmp/err" || [[ -z $code ]] || fail "--code '$code': $(cat "$tmp/err")"
done
! grep -q '^PAIR' "$tmp/phone" || fail "a refused code reached the phone: $(grep '^PAIR' "$tmp/phone")"
# Filtered as in the panel: whatever is not a digit drops out.
[[ $(pair " 48-2 1") == 0 ]] || fail "pairing with ' 48-2 1' failed: $(cat "$tmp/err")"

[[ $(rc_of status) == 0 ]] || fail "status connected exited $(rc_of status)"
[[ $(rc_of status --json) == 0 ]] || fail "status --json connected"
python3 - "$tmp/out" "$port" <<'PY' || fail "status --json: $(cat "$tmp/out")"
import json, sys
j = json.load(open(sys.argv[1]))
assert j["state"] == "connected" and j["label"] == "已连接 Desk", j
assert j["pairing"]["http_port"] == int(sys.argv[2]) and j["pairing"]["device_name"] == "Desk", j
assert "token" not in json.dumps(j), j
PY
kill "$phone_pid"
wait "$phone_pid" || true
phone_pid=
[[ $(rc_of status) == 3 ]] || fail "status offline exited $(rc_of status)"
[[ $(rc_of status --json) == 3 && $(state) == "offline False" ]] || fail "status --json offline: $(cat "$tmp/out")"
[[ $(rc_of status --bogus) == 2 ]] || fail "status --bogus"
echo "cli commands: ok"
