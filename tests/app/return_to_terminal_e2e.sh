#!/bin/bash
# Back to the agent's terminal, on a real X desktop: Xvfb with openbox, two xterm windows and a private
# tmux server. The first xterm runs a tmux client; the agent's pane sits in a window of that session
# that is not shown. While the second xterm is active, a hook runs in the agent's pane; bringing its
# event's terminal back must make the first xterm the active window and show the agent's pane. Then
# the client is switched to another session and it happens again: the client must come back too.
# Screenshots before and after go to OUT_DIR.
# Usage: return_to_terminal_e2e.sh HOOK_BIN PROBE_BIN OUT_DIR
set -u
HOOK=$1 PROBE=$2 OUT=$3
for tool in Xvfb openbox xterm tmux xdotool xdpyinfo xprop; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
WORK=$(mktemp -d /tmp/gt-return-e2e.XXXXXX)
export HOME=$WORK/home SHELL=/bin/sh
unset TMUX TMUX_PANE WAYLAND_DISPLAY SWAYSOCK XDG_SESSION_TYPE
mkdir -p "$OUT" "$HOME" && chmod 700 "$HOME"
PIDS=()
T=(tmux -S "$WORK/tmux.sock")
trap '"${T[@]}" kill-server 2>/dev/null; for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; rm -rf "$WORK"' EXIT
waitfor() {  # waitfor SECONDS command...: bounded poll
  local end=$(($(date +%s%3N) + $1 * 1000)); shift
  until "$@"; do [ "$(date +%s%3N)" -gt "$end" ] && return 1; sleep 0.05; done
}
fail() { echo "FAIL: $*"; for f in "$WORK"/*.log; do echo "--- $f"; cat "$f"; done; exit 1; }
shot() { /usr/bin/import -display "$DISPLAY" -window root "$OUT/$1.png" || fail "screenshot $1"; }
active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ]; }
shown() { [ "$("${T[@]}" display-message -p -t "$1" '#{session_name} #{window_name} #{pane_id}')" = "$2" ]; }

# A display number that no other X server holds (another may run on this machine).
for n in $(seq 140 199); do [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ] || break; done
Xvfb :$n -screen 0 1024x600x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 & PIDS+=($!)
export DISPLAY=:$n
waitfor 10 xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start"
openbox --sm-disable >"$WORK/openbox.log" 2>&1 & PIDS+=($!)
waitfor 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' || fail "openbox did not start"

# Session "work": window "editor" shown; window "agent" split, the agent in its second, inactive pane.
"${T[@]}" -f /dev/null new-session -d -s work -n editor -x 78 -y 22 || fail "no tmux server"
"${T[@]}" set -g status-style bg=colour25,fg=white \; new-window -d -t work: -n agent
pane=$("${T[@]}" split-window -d -h -P -F '#{pane_id}' -t work:agent) || fail "no agent pane"
"${T[@]}" send-keys -t "$pane" "clear; echo 'the agent runs here ($pane)'" Enter
"${T[@]}" send-keys -t work:editor "clear; echo 'an editor, shown while the agent works'" Enter

xterm -T agent-terminal -geometry 80x24+20+20 -bg '#1d2333' -fg white -e "${T[@]}" attach -t work &
PIDS+=($!)
xterm -T other-terminal -geometry 70x16+420+300 -bg '#f4f1e8' -fg black -e sh -c 'echo another terminal; exec sleep 600' &
PIDS+=($!)
w1= w2=
waitfor 10 eval 'w1=$(xdotool search --name "^agent-terminal$" | head -1); [ -n "$w1" ]' || fail "first xterm has no window"
waitfor 10 eval 'w2=$(xdotool search --name "^other-terminal$" | head -1); [ -n "$w2" ]' || fail "second xterm has no window"
waitfor 10 eval '[ -n "$("${T[@]}" list-clients)" ]' || fail "the first xterm's tmux client did not attach"

mkdir -p -m 700 "$HOME/.glowticker/run"
"$PROBE" "$HOME/.glowticker/run/events.sock" 2 >"$WORK/probe.log" 2>&1 & PIDS+=($!)
waitfor 10 grep -q ready "$WORK/probe.log" || fail "the probe did not start"
cat >"$WORK/agent.sh" <<EOF
printf '%s' '{"hook_event_name":"Notification","notification_type":"permission_prompt","session_id":"demo-1","cwd":"/work/demo","message":"May I run the tests?"}' | "$HOOK" --agent claude
EOF
# hook ROUND: the agent's hook runs in its pane while the second xterm is active; its terminal comes back.
hook() {
  round=$1
  xdotool windowactivate --sync "$w2" && waitfor 5 active "$w2" || fail "round $1: cannot activate the second xterm"
  [ "$1" = 1 ] && sleep 0.3 && shot return-before
  "${T[@]}" send-keys -t "$pane" "sh $WORK/agent.sh" Enter
  waitfor 10 eval '[ "$(grep -c "in front after" "$WORK/probe.log")" -ge $round ]' || fail "round $1: no event came back"
  waitfor 5 active "$w1" || fail "round $1: the first xterm is not the active window ($(xdotool getactivewindow) != $w1)"
  shown work "work agent $pane" || fail "round $1: the agent's pane is not shown: $("${T[@]}" display-message -p -t work '#{window_name} #{pane_id}')"
  [ "$("${T[@]}" display-message -p '#{client_session}')" = work ] || fail "round $1: the client does not show the agent's session"
}
hook 1
sleep 0.3 && shot return-after
grep -q '"origin":{"session":"demo-1","pids":\[' "$WORK/probe.log" || fail "no origin in the event"
grep -q "\"tmux_pane\":\"$pane\"" "$WORK/probe.log" || fail "the event does not name the agent's pane"
[ "$(grep -c 'in front before: 0' "$WORK/probe.log")" = 1 ] && grep -q 'in front after: 1' "$WORK/probe.log" ||
  fail "in front: wrong before or after"
echo "ok: the first xterm is active and shows the agent's pane"

"${T[@]}" new-session -d -s other \; switch-client -t other
waitfor 5 eval '[ "$("${T[@]}" display-message -p "#{client_session}")" = other ]' || fail "could not switch the client away"
hook 2
grep -q 'switched to it' "$WORK/probe.log" || fail "the log line does not say the client was switched"
echo "ok: a client showing another session is switched back"
sed -n 's/^brought back: /  /p' "$WORK/probe.log"
echo "PASS"
