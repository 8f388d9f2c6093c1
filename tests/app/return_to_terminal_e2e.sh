#!/bin/bash
# A click on an agent's notification brings back its terminal, on a real X desktop (Xvfb, openbox, two
# xterms, a private tmux server) with glowticker-app on a private bus with the test notification server:
# the agent's pane sits in a hidden window of the first xterm's tmux session, the second xterm is active.
# Quiet while that pane is in front; a client switched to another session is brought back too.
# Screenshots before and after the first click go to OUT_DIR.
# Usage: return_to_terminal_e2e.sh HOOK_BIN APP_BIN NOTIFY_SINK_BIN OUT_DIR
set -u
HOOK=$1 APP=$2 SINK=$3 OUT=$4
for tool in Xvfb openbox xterm tmux xdotool xprop dbus-daemon busctl; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
source "$(dirname "$0")/../support/e2e.sh"
export HOME=$WORK/home SHELL=/bin/sh
unset TMUX TMUX_PANE WAYLAND_DISPLAY SWAYSOCK XDG_SESSION_TYPE
mkdir -p "$OUT" "$HOME" && chmod 700 "$HOME"
T=(tmux -S "$WORK/tmux.sock")
at_exit() { "${T[@]}" kill-server 2>/dev/null; }
shot() { /usr/bin/import -display "$DISPLAY" -window root "$OUT/$1.png" || fail "screenshot $1"; }
active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ]; }
shown() { [ "$("${T[@]}" display-message -p -t "$1" '#{session_name} #{window_name} #{pane_id}')" = "$2" ]; }

# A display of our own, its number chosen by Xvfb; no reset when the last client leaves, so the short
# probes below never race a server that is starting over.
Xvfb -displayfd 5 -screen 0 1024x600x24 -nolisten tcp -noreset 5>"$WORK/display" 2>"$WORK/xvfb.log" & PIDS+=($!)
waitfor 10 test -s "$WORK/display" || fail "Xvfb did not start"
export DISPLAY=:$(cat "$WORK/display")
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

# The app, quiet while the agent's terminal is in front, on a bus whose notification server offers actions.
mkdir -p -m 700 "$HOME/.glowticker" "$WORK/xdg"
echo '{"quiet_when_terminal_in_front":true}' >"$HOME/.glowticker/settings.json" && chmod 600 "$HOME/.glowticker/settings.json"
private_bus "$WORK/bus"
start_sink sink "$SINK" --actions
DBUS_SESSION_BUS_ADDRESS=$bus XDG_RUNTIME_DIR=$WORK/xdg QT_QPA_PLATFORM=offscreen "$APP" >"$WORK/app.log" 2>&1 & PIDS+=($!)
waitfor 10 test -S "$HOME/.glowticker/run/events.sock" || fail "the app never opened its event socket"
cat >"$WORK/agent.sh" <<EOF
printf '%s' '{"hook_event_name":"Notification","notification_type":"permission_prompt","session_id":"demo-1","cwd":"/work/demo","message":"May I run the tests?"}' | "$HOOK" --agent claude
EOF
posted() { [ "$(grep -c '"summary":"claude · 需要你的授权"' "$WORK/sink.jsonl")" -ge "$1" ]; }
click() { busctl --address="$bus" call org.freedesktop.Notifications /org/freedesktop/Notifications \
  io.glowticker.NotifySink Invoke uss 0 default "" >/dev/null; }
# hook ROUND: the agent's hook runs in its pane while the second xterm is active; a click on its
# notification brings its terminal back.
hook() {
  round=$1
  xdotool windowactivate --sync "$w2" && waitfor 5 active "$w2" || fail "round $round: cannot activate the second xterm"
  [ "$round" = 1 ] && sleep 0.3 && shot return-before
  "${T[@]}" send-keys -t "$pane" "sh $WORK/agent.sh" Enter
  waitfor 10 posted "$round" || fail "round $round: no notification"
  click || fail "round $round: the notification server could not click"
  waitfor 5 active "$w1" || fail "round $round: the first xterm is not the active window ($(xdotool getactivewindow) != $w1)"
  waitfor 5 shown work "work agent $pane" ||
    fail "round $round: the agent's pane is not shown: $("${T[@]}" display-message -p -t work '#{window_name} #{pane_id}')"
  [ "$("${T[@]}" display-message -p '#{client_session}')" = work ] || fail "round $round: the client does not show the agent's session"
}
hook 1
sleep 0.3 && shot return-after
tail -1 "$WORK/sink.jsonl" | grep -q '"actions":\["default",.*"打开终端"' || fail "the notification offers no button"
echo "ok: a click made the first xterm active, showing the agent's pane"

# In front and quiet: nothing is posted. Where no journal takes the log, the app says so on standard
# error; else a pause lets it decide.
"${T[@]}" send-keys -t "$pane" "sh $WORK/agent.sh" Enter
if [ -S /run/systemd/journal/socket ]; then sleep 3; else
  waitfor 10 grep -q 'terminal in front' "$WORK/app.log" || fail "quiet: no notice of the skipped notification"
fi

"${T[@]}" new-session -d -s other \; switch-client -t other
waitfor 5 eval '[ "$("${T[@]}" display-message -p "#{client_session}")" = other ]' || fail "could not switch the client away"
hook 2
posted 3 && fail "quiet: an event from the terminal in front was posted"
echo "ok: quiet while in front; a client showing another session is switched back"
grep -o 'tmux pane.*' "$WORK/app.log" | sed 's/^/  /'
echo "PASS"
