#!/usr/bin/env bash
# The glowticker command as people and scripts use it: --help of every command, status's exit codes and
# --json, and a pairing code refused before anything reaches the phone (the simulated phone on loopback,
# a temporary HOME).   Usage: cli_commands_test.sh GLOWTICKER SIM_PHONE_PY   (77: no python3)
set -euo pipefail
gt_bin=$1 sim=$2
command -v python3 >/dev/null || { echo "SKIP: python3 is needed for the simulated phone"; exit 77; }
tmp=$(mktemp -d)
phone_pid=
trap '[[ -z $phone_pid ]] || kill $phone_pid 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
export HOME=$tmp/home http_proxy= HTTP_PROXY=
mkdir -p "$HOME"
rc_of() { local rc=0; timeout 20 "$gt_bin" "$@" >"$tmp/out" 2>"$tmp/err" || rc=$?; echo "$rc"; }
# "<state> <whether the pairing is null> <whether a token shows>" from status --json's output.
json() { python3 -c 'import json,sys; t=open(sys.argv[1]).read(); j=json.loads(t); print(j["state"], j["pairing"] is None, "token" in t)' "$tmp/out"; }

for cmd in status devices pair unpair install uninstall hook send autostart; do
  for flag in --help -h; do
    [[ $(rc_of $cmd $flag) == 0 && ! -s $tmp/err ]] || fail "$cmd $flag: $(cat "$tmp/err")"
    head -n1 "$tmp/out" | grep -q "^Usage: glowticker $cmd" || fail "$cmd $flag: $(head -n1 "$tmp/out")"
  done
done
[[ $(rc_of --help) == 0 ]] && grep -q "^Exit status:" "$tmp/out" || fail "glowticker --help lists no exit status"
# Help wins over whatever else the words ask for: nothing is paired.
[[ $(rc_of pair --host 127.0.0.1 --http-port 9 --ws-port 9 --name x --code 1234 --help) == 0 ]] || fail "pair … --help"
[[ ! -e $HOME/.glowticker ]] || fail "asking for help left files behind"
[[ $(rc_of status --json) == 4 && $(json) == "unpaired True False" ]] || fail "status unpaired: $(cat "$tmp/out")"

# The phone takes one wrong code; a code that is not 4 digits must never reach it.
python3 "$sim" --bind 127.0.0.1 --code 4821 --max-attempts 1 --stop-after 60 >"$tmp/phone" &
phone_pid=$!
for _ in $(seq 100); do grep -q '^READY' "$tmp/phone" && break; sleep 0.05; done
port=$(sed -n 's/^READY port=\([0-9]*\) .*/\1/p' "$tmp/phone")
[[ -n $port ]] || fail "the simulated phone did not start"
pair() { rc_of pair --host 127.0.0.1 --http-port "$port" --ws-port 7001 --name Desk --code "$1"; }
for code in 12 12345 abcd "" "４８２"; do
  [[ $(pair "$code") == 2 ]] || fail "--code '$code' was not refused as a usage error"
done
! grep -q '^PAIR' "$tmp/phone" || fail "a refused code reached the phone: $(grep '^PAIR' "$tmp/phone")"
[[ $(pair " 48-2 1") == 0 ]] || fail "the code ' 48-2 1' (filtered as in the panel) did not pair: $(cat "$tmp/err")"

[[ $(rc_of status) == 0 ]] || fail "status connected: $(cat "$tmp/out")"
[[ $(rc_of status --json) == 0 && $(json) == "connected False False" ]] || fail "status --json: $(cat "$tmp/out")"
grep -q "\"http_port\": $port" "$tmp/out" || fail "status --json has no record: $(cat "$tmp/out")"
kill "$phone_pid"
wait "$phone_pid" || true
phone_pid=
[[ $(rc_of status) == 3 && $(rc_of status --json) == 3 && $(json) == "offline False False" ]] || fail "status offline"
[[ $(rc_of status --bogus) == 2 ]] || fail "status --bogus"
echo "cli commands: ok"
