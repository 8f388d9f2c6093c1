#!/bin/bash
# A click on an agent's notification raises its terminal and shows its tmux pane, on a headless x11, sway,
# kwin (KWIN_BACKEND=x11: on an Xvfb, for screenshots) or gnome; then the quiet switch holds notifications
# back only while that terminal is in front. Usage: desktops_e2e.sh DESKTOP HOOK_BIN APP_BIN SINK_BIN OUT_DIR
set -u
DESK=$1 HOOK=$(realpath "$2") APP=$(realpath "$3") SINK=$(realpath "$4") OUT=$5
need() { for t; do command -v "$t" >/dev/null || { echo "SKIP: $t is not installed"; exit 77; }; done; }
need tmux dbus-daemon busctl jq
case $DESK in
  x11) need Xvfb openbox xterm xdotool import ;;
  sway) need sway swaymsg foot footclient Xwayland xterm grim ;;
  kwin) need kwin_wayland Xwayland weston-terminal urxvtd xterm ;;
  gnome) need gnome-shell gjs Xwayland weston-terminal xterm ;;
esac
if [ "$(id -u)" = 0 ]; then
  id gt-desktops >/dev/null 2>&1 || useradd -M -d /nonexistent -s /bin/sh gt-desktops || exit 1
  mkdir -p "$OUT" && chown gt-desktops "$OUT"
  exec runuser -u gt-desktops -- env -i PATH=/usr/local/bin:/usr/bin:/bin KWIN_BACKEND="${KWIN_BACKEND:-}" \
    TSAN_OPTIONS="${TSAN_OPTIONS:-}" bash "$(realpath "$0")" "$DESK" "$HOOK" "$APP" "$SINK" "$(realpath "$OUT")"
fi
source "$(dirname "$0")/../support/e2e.sh"
chmod 755 "$WORK"
export HOME=$WORK/home XDG_RUNTIME_DIR=$WORK/xdg SHELL=/bin/sh
mkdir -p -m 700 "$HOME" "$XDG_RUNTIME_DIR" "$HOME/.glowticker" && mkdir -p "$OUT"
T=(tmux -S "$WORK/tmux.sock" -f /dev/null)
at_exit() { "${T[@]}" kill-server 2>/dev/null; }
APPENV=(QT_QPA_PLATFORM=offscreen)
FRONT=known  # whether the desktop can tell the app which window is in front

# Per desktop: titles, focused, focus TITLE, hide TITLE, shot NAME, click BODY, posted BODY.
kwin_js() {  # kwin_js BODY: runs BODY in a KWin script and prints what it returns
  local n=$BASHPID$RANDOM
  echo "print('GT$n ' + (function () { var all = workspace.clientList(); $1 })());" >"$WORK/s$n.js"
  busctl --user call org.kde.KWin /Scripting org.kde.kwin.Scripting loadScript ss "$WORK/s$n.js" gt$n >/dev/null &&
    busctl --user call org.kde.KWin /Scripting org.kde.kwin.Scripting start &&
    waitfor 5 grep -q "^js: GT$n " "$WORK/kwin.log" && sed -n "s/^js: GT$n //p" "$WORK/kwin.log" | tr '|' '\n'
  busctl --user call org.kde.KWin /Scripting org.kde.kwin.Scripting unloadScript s gt$n >/dev/null
}
shell_eval() { busctl --user --json=short call org.gnome.Shell /org/gnome/Shell org.gnome.Shell Eval s "$1" | jq -r '.data[1] | fromjson? // ""'; }
click() { busctl --user call org.freedesktop.Notifications /org/freedesktop/Notifications \
  io.glowticker.NotifySink Invoke uss 0 default "" >/dev/null; }
posted() { grep -c "$1" "$WORK/sink.jsonl"; }
hide() { :; }; shot() { :; }
xvfb() {  # sets XV
  Xvfb -displayfd 5 -screen 0 1024x640x24 -nolisten tcp -noreset 5>"$WORK/display" 2>"$WORK/xvfb.log" & PIDS+=($!)
  waitfor 10 test -s "$WORK/display" || fail "Xvfb did not start"
  XV=:$(cat "$WORK/display")
}
private_bus "$WORK/bus"
export DBUS_SESSION_BUS_ADDRESS=$bus
case $DESK in
x11)
  xvfb; export DISPLAY=$XV
  openbox --sm-disable >"$WORK/openbox.log" 2>&1 & PIDS+=($!)
  waitfor 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' || fail "openbox did not start"
  titles() { xdotool search --name . getwindowname %@ 2>/dev/null; }
  focused() { xdotool getactivewindow getwindowname 2>/dev/null; }
  focus() { xdotool search --name "^$1\$" windowactivate --sync 2>/dev/null; }
  hide() { xdotool search --name "^$1\$" windowminimize --sync; }
  shot() { import -window root "$OUT/$1.png"; } ;;
sway)
  printf 'output HEADLESS-1 resolution 1024x640\nxwayland enable\ndefault_border normal\n' >"$WORK/sway.conf"
  WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c "$WORK/sway.conf" >"$WORK/sway.log" 2>&1 &
  PIDS+=($!)
  waitfor 10 eval 'SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock 2>/dev/null)' || fail "sway did not start"
  export SWAYSOCK WAYLAND_DISPLAY=$(basename "$(ls "$XDG_RUNTIME_DIR"/wayland-? | head -1)")
  swaymsg exec "echo \$DISPLAY >$WORK/xdisplay" >/dev/null && waitfor 10 test -s "$WORK/xdisplay" || fail "no Xwayland"
  export DISPLAY=$(cat "$WORK/xdisplay")
  foot --server >"$WORK/foot.log" 2>&1 & PIDS+=($!)
  tree() { swaymsg -t get_tree | jq -r ".. | select(.pid? > 0) | $1"; }
  titles() { tree .name; }
  focused() { tree 'select(.focused) | .name'; }
  focus() { swaymsg "[title=\"^$1\$\"] focus" >/dev/null; }
  hide() { swaymsg "[title=\"^$1\$\"] move to workspace 2" >/dev/null; }
  shot() { grim "$OUT/$1.png"; }
  APPENV=(-u DISPLAY) ;;  # the app itself on Wayland, with Qt's Wayland plugin
kwin)
  cp /usr/bin/kwin_wayland "$WORK/"  # without the file capability this sandbox refuses to execute
  backend=(--virtual)
  [ "${KWIN_BACKEND:-}" = x11 ] && xvfb && backend=(--x11-display "$XV")
  echo "echo \$DISPLAY >$WORK/xdisplay" >"$WORK/inside.sh"  # ends at once: nothing outlives KWin
  QT_LOGGING_RULES="js.debug=true" "$WORK/kwin_wayland" "${backend[@]}" --width 1024 --height 640 --xwayland \
    --socket wayland-kw "sh $WORK/inside.sh" >"$WORK/kwin.log" 2>&1 & PIDS+=($!)
  waitfor 20 test -s "$WORK/xdisplay" || fail "kwin did not start"
  export DISPLAY=$(cat "$WORK/xdisplay") WAYLAND_DISPLAY=wayland-kw
  urxvtd -q -o >"$WORK/urxvtd.log" 2>&1 & PIDS+=($!)
  titles() { kwin_js "return all.map(function (c) { return c.caption; }).join('|');"; }
  focused() { kwin_js "return workspace.activeClient ? workspace.activeClient.caption : '';"; }
  each() { kwin_js "all.forEach(function (c) { if (c.caption === '$1') { $2; } }); return 1;" >/dev/null; }
  focus() { each "$1" 'workspace.activeClient = c'; }
  hide() { each "$1" 'c.minimized = true'; }
  shot() { [ -n "${XV:-}" ] && DISPLAY=$XV import -window root "$OUT/$1.png"; }
  APPENV+=(XDG_CURRENT_DESKTOP=KDE) ;;
gnome)
  # A session bus that starts no other notification server; the private one stands in for the system bus.
  mkdir "$WORK/services"
  for f in /usr/share/dbus-1/services/*.service; do grep -q org.freedesktop.Notifications "$f" || ln -s "$f" "$WORK/services/"; done
  sed "s|<standard_session_servicedirs */>|<servicedir>$WORK/services</servicedir>|" /usr/share/dbus-1/session.conf >"$WORK/session.conf"
  out=$(dbus-daemon --config-file="$WORK/session.conf" --fork --address="unix:path=$WORK/gbus" --print-address=1 --print-pid=1) || fail "no bus"
  export DBUS_SESSION_BUS_ADDRESS=${out%%$'\n'*} DBUS_SYSTEM_BUS_ADDRESS=$bus; PIDS+=("${out##*$'\n'}")
  # A test extension unlocks Eval, for reading the focus and clicking.
  ext=$HOME/.local/share/gnome-shell/extensions/gt-eval@test
  mkdir -p "$ext" "$HOME/.config/glib-2.0/settings"
  echo '{"uuid":"gt-eval@test","name":"eval","description":"test","shell-version":["43"]}' >"$ext/metadata.json"
  echo 'function init() {} function enable() { global.context.unsafe_mode = true; } function disable() {}' >"$ext/extension.js"
  printf '[org/gnome/shell]\nenabled-extensions=["gt-eval@test"]\n' >"$HOME/.config/glib-2.0/settings/keyfile"
  export GSETTINGS_BACKEND=keyfile XDG_CONFIG_HOME=$HOME/.config WAYLAND_DISPLAY=wayland-gs
  gnome-shell --wayland --headless --virtual-monitor 1024x640 --wayland-display wayland-gs >"$WORK/gnome.log" 2>&1 & PIDS+=($!)
  waitfor 30 eval '[ "$(shell_eval 1 2>/dev/null)" = 1 ]' || fail "GNOME Shell did not start"
  # Out of the overview it starts in, as a user's first click: its grab makes mutter drop X11 activations.
  waitfor 60 eval '[ "$(shell_eval "!Main.layoutManager._startingUp && (Main.overview.hide(), !global.stage.get_grab_actor())")" = true ]' ||
    fail "GNOME stays in its overview"
  export DISPLAY=$(shell_eval 'GLib.getenv("DISPLAY")') XAUTHORITY=$(shell_eval 'GLib.getenv("XAUTHORITY")')
  wins='global.get_window_actors().map(a => a.meta_window)'
  titles() { shell_eval "$wins.map(w => w.get_title()).join('\n')"; }
  focused() { shell_eval 'global.display.focus_window ? global.display.focus_window.get_title() : ""'; }
  focus() { shell_eval "Main.panel.closeCalendar(); $wins.filter(w => w.get_title() == '$1').forEach(w => w.activate(global.get_current_time()))" >/dev/null; }
  attention() { shell_eval "$wins.some(w => w.get_title() == '$1' && w.demands_attention)"; }
  bodies='Main.messageTray.getSources().flatMap(s => s.notifications)'
  posted() { shell_eval "$bodies.filter(n => n.bannerBodyText.includes('$1')).length"; }
  click() { shell_eval "$([ "$how" = menu ] && echo 'Main.panel.statusArea.dateMenu.menu.open();') $bodies.filter(n => n.bannerBodyText.includes('$1')).forEach(n => n.activate())" >/dev/null; }
  FRONT=unknown WESTON=--maximized  # covers the agent's terminal: mutter asks no attention for one in full view
  APPENV+=(XDG_CURRENT_DESKTOP=GNOME) ;;
esac
[ "$DESK" = gnome ] || start_sink sink "$SINK" --actions

echo '{"quiet_when_terminal_in_front":true}' >"$HOME/.glowticker/settings.json" && chmod 600 "$HOME/.glowticker/settings.json"
env "${APPENV[@]}" "$APP" >"$WORK/app.log" 2>&1 & PIDS+=($!)
waitfor 10 test -S "$HOME/.glowticker/run/events.sock" || fail "the app never opened its event socket"

logs() { cat "$WORK/app.log"; [ -S /run/systemd/journal/socket ] && journalctl -q -t glowticker 2>/dev/null; }
held() { logs | grep -c 'skipped (terminal in front)'; }
cmd() {  # cmd KIND TITLE: opens terminal TITLE running $WORK/TITLE.sh

  case $1 in
    xterm) echo "env WAYLAND_DISPLAY= xterm -T $2 -e $WORK/$2.sh" ;;
    urxvtc) echo "urxvtc -title $2 -e $WORK/$2.sh" ;;
    weston) echo "env SHELL=$WORK/$2.sh weston-terminal ${WESTON:-}" ;;
    *) echo "$1 -T $2 $WORK/$2.sh" ;;
  esac
}
script() {  # script TITLE SESSION [FIRST]: sets the title, runs FIRST, attaches to SESSION
  # Set again later too: under load, GNOME Shell sometimes loses a title weston-terminal got before it was shown.
 printf '#!/bin/sh\nt() { printf "\\033]2;%s\\007"; }\nt; (sleep 1; t; sleep 2; t) &\n%s\nexec %s attach -t %s\n' "$1" "${3:-}" "${T[*]}" "$2" >"$WORK/$1.sh" && chmod +x "$WORK/$1.sh"; }
hook() {  # hook N ROUND: runs the hook in case N's hidden pane; prints the notification's body

  printf '{"hook_event_name":"Notification","notification_type":"agent_needs_input","session_id":"s%s","cwd":"/w","message":"case %s round %s"}' $1 $1 $2 >"$WORK/payload"
  "${T[@]}" send-keys -t "$pane" "$HOOK --agent claude <$WORK/payload" Enter
  echo "case $1 round $2"
}
is() { [ "$($1)" = "$2" ]; }
n=0
"${T[@]}" new-session -d -s keep || fail "no tmux server"  # lives across cases, so the server never exits
# run_case AGENT OTHER HOW EXPECTED: HOW is hide, titles (set by tmux), nested (agent's terminal started from
# the other's shell), menu (GNOME's date menu open: asks attention) or -; EXPECTED is raised or the log's reason.
run_case() {
  local agent=$1 other=$2 how=$3 expect=$4 s=a$((++n)) o=o$n want=agent-$n body held0
  "${T[@]}" new-session -d -s $s -n editor -x 78 -y 22 \; new-window -d -t $s: -n agent \; new-session -d -s $o || fail "no tmux"
  pane=$("${T[@]}" split-window -d -h -P -F '#{pane_id}' -t $s:agent)
  "${T[@]}" send-keys -t "$pane" "clear; echo 'the agent runs here ($pane)'" Enter
  [ "$how" = titles ] && want=$s && "${T[@]}" set -t $s set-titles on \; set -t $s set-titles-string $s \; \
    set -t $o set-titles on \; set -t $o set-titles-string other-$n
  script $want $s
  if [ "$how" = nested ]; then script other-$n $o "$(cmd $agent $want) &"; else script other-$n $o; fi
  $(cmd $other other-$n) >>"$WORK/terminals.log" 2>&1 & PIDS+=($!)
  [ "$how" = nested ] || { $(cmd $agent $want) >>"$WORK/terminals.log" 2>&1 & PIDS+=($!); }
  waitfor 60 eval '[ "$(titles | grep -cx -e $want -e other-$n)" = 2 ] && "${T[@]}" list-clients | grep -q $s' ||
    fail "$n: the terminals did not open: $(titles)"
  [ "$how" = hide ] && { hide $want || fail "$n: cannot hide $want"; }
  focus other-$n && waitfor 5 is focused other-$n || fail "$n: cannot focus other-$n: $(focused)"
  body=$(hook $n 1)
  waitfor 10 eval '[ "$(posted "$body")" -ge 1 ]' || fail "$n: no notification"
  [ $n = 1 ] && sleep 0.5 && shot return-$DESK-before
  click "$body" || fail "$n: could not click"
  if [ "$expect" = raised ]; then
    waitfor 5 is focused $want || fail "$n: $want was not raised; $(focused) has the focus"
  else
    waitfor 5 eval 'logs | grep -q "$expect"' || fail "$n: the log does not say \"$expect\""
    is focused other-$n || fail "$n: the focus moved to $(focused)"
    [ "$how" = menu ] && { waitfor 5 is "attention $want" true || fail "$n: $want does not ask for attention"; }
  fi
  waitfor 5 eval '[ "$("${T[@]}" display-message -p -t $s "#{window_name} #{pane_id}")" = "agent $pane" ]' ||
    fail "$n: the agent's pane is not shown"
  [ $n = 1 ] && sleep 0.5 && shot return-$DESK-after
  held0=$(held) body=$(hook $n 2)
  if [ "$expect" = raised ] && [ $FRONT = known ]; then
    waitfor 10 eval '[ "$(held)" -gt $held0 ]' || fail "$n: not held back while in front"
    [ "$(posted "$body")" = 0 ] || fail "$n: posted while in front"
  else
    waitfor 10 eval '[ "$(posted "$body")" -ge 1 ]' || fail "$n: held back although the desktop cannot tell"
  fi
  focus other-$n && waitfor 5 is focused other-$n || fail "$n: cannot focus other-$n again"
  body=$(hook $n 3)
  waitfor 10 eval '[ "$(posted "$body")" -ge 1 ]' || fail "$n: held back while another terminal is in front"
  "${T[@]}" kill-session -t $s \; kill-session -t $o
  echo "ok: $DESK case $n: $agent agent terminal, $other other, $how: $expect"
}
while read -r -u 3 desk agent other how expect; do
  [ "$desk" = "$DESK" ] && run_case "$agent" "$other" "$how" "$expect"
done 3<<'EOF'
x11   xterm      xterm      hide   raised
sway  foot       foot       hide   raised
sway  xterm      foot       -      raised
sway  footclient footclient titles raised
sway  footclient footclient -      owns 2 windows
sway  foot       foot       nested raised
kwin  urxvtc     urxvtc     -      raised
kwin  weston     xterm      hide   raised
gnome xterm      weston     -      raised
gnome xterm      weston     menu   to mark it as needing attention
gnome weston     xterm      -      GNOME on Wayland lets no program raise
EOF
grep -q Sanitizer "$WORK/app.log" && fail "the sanitizer reported"
echo PASS
