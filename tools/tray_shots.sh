#!/bin/bash
# Pictures of the tray icon on black, dark grey, light grey and white panels, for the README. XEmbed: the
# real app docked in trayer tinted each colour. StatusNotifierItem: the pixmaps the app hands a stand-in
# watcher, laid on each colour as a host lays them (22 px). Columns: light desktop offline and connected,
# dark desktop offline and connected (a stand-in portal states the scheme). Nothing leaves loopback.
# Usage: tools/tray_shots.sh BIN_DIR OUT_DIR  ->  OUT_DIR/tray-xembed.png, OUT_DIR/tray-sni.png
set -u
BIN=$(cd "${1:?usage: tray_shots.sh BIN_DIR OUT_DIR}" && pwd)
OUT=$(mkdir -p "${2:?usage: tray_shots.sh BIN_DIR OUT_DIR}" && cd "$2" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
WATCHER=$HERE/../tests/app/fake_tray_watcher.py
IM=/usr/bin
for tool in Xvfb trayer dbus-daemon "$IM/import" "$IM/convert" "$IM/montage"; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
RUN=$(mktemp -d /tmp/gt-tray-shots.XXXXXX)
PIDS=()
stop() { for p in "$@"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; }
trap 'stop "${PIDS[@]}"; rm -rf "$RUN"' EXIT
waitfor() {
  local end=$(($(date +%s%3N) + $1 * 1000)); shift
  until "$@"; do [ "$(date +%s%3N)" -gt "$end" ] && return 1; sleep 0.05; done
}
fail() { echo "FAIL: $*"; tail -n 5 "$RUN"/*.log; exit 1; }
mkdir -p "$RUN/xdg" && chmod 700 "$RUN/xdg"
export XDG_RUNTIME_DIR=$RUN/xdg QT_QPA_PLATFORM=xcb
Xvfb -displayfd 5 -screen 0 400x200x24 -nolisten tcp 5>"$RUN/display" 2>/dev/null & PIDS+=($!)
waitfor 10 test -s "$RUN/display" || fail "Xvfb did not start"
export DISPLAY=":$(cat "$RUN/display")"
out=$(dbus-daemon --session --fork --address="unix:path=$RUN/bus" --print-address=1 --print-pid=1) || fail "no bus"
export DBUS_SESSION_BUS_ADDRESS=${out%%$'\n'*}; PIDS+=("${out##*$'\n'}")
/usr/bin/python3 "$HERE/sim_phone.py" --bind 127.0.0.1 --token t0ken >"$RUN/phone.log" 2>&1 & PIDS+=($!)
waitfor 10 grep -q '^READY' "$RUN/phone.log" || fail "the simulated phone did not start"
PORT=$(sed -nE 's/^READY port=([0-9]+).*/\1/p' "$RUN/phone.log")
PANELS="000000 3c3c3c d0d0d0 ffffff"

app() {  # app FORM: the app for the offline or the connected form, in its own HOME
  local home=$RUN/home-$1
  mkdir -p "$home/.glowticker"
  [ "$1" = connected ] && printf '{"device_name":"p","host":"127.0.0.1","ws_port":%s,"http_port":%s,"token":"t0ken","paired_at":"2026-01-01T00:00:00Z"}' \
    "$PORT" "$PORT" >"$home/.glowticker/config.json"
  HOME=$home GLOWTICKER_UI_TRACE=1 "$BIN/glowticker-app" >"$RUN/app.log" 2>&1 &
  APP=$!
  [ "$1" = connected ] && { waitfor 10 grep -q 'PROBE ok' "$RUN/phone.log" || fail "no probe"; sleep 0.5; }
  return 0
}
for scheme in 2 1; do
  for form in offline connected; do
    # XEmbed: the scheme from the portal only (a watcher would take the icon over D-Bus).
    /usr/bin/python3 "$WATCHER" --scheme $scheme --portal-only 1 >"$RUN/portal.log" 2>&1 & portal=$!
    waitfor 5 grep -q READY "$RUN/portal.log" || fail "no portal"
    app $form
    for panel in $PANELS; do
      trayer --edge top --align left --widthtype request --height 26 --transparent true --alpha 0 \
        --tint 0x$panel --SetDockType true --expand false >"$RUN/trayer.log" 2>&1 & tray=$!
      # The trace names the icon's place once; later trays take it at the same place.
      waitfor 10 grep -q "^TRAY_GEOMETRY " "$RUN/app.log" || fail "the icon did not dock"
      sleep 1
      "$IM/import" -window root -crop 24x26+0+0 "$RUN/x-$panel-$scheme-$form.png"
      stop $tray
    done
    stop $APP $portal
    # StatusNotifierItem: the pixmaps the item sends, over each panel colour.
    mkdir -p "$RUN/dump" && rm -f "$RUN/dump"/*
    /usr/bin/python3 "$WATCHER" --scheme $scheme --dump "$RUN/dump" >"$RUN/watcher.log" 2>&1 & watcher=$!
    waitfor 5 grep -q READY "$RUN/watcher.log" || fail "no watcher"
    app $form
    waitfor 10 grep -q '^ITEM' "$RUN/watcher.log" || fail "the item did not register"
    sleep 0.5
    for panel in $PANELS; do
      "$IM/convert" -size 24x26 "xc:#$panel" \( -size 22x22 -depth 8 "rgba:$RUN/dump/22.rgba" \) -geometry +1+2 \
        -composite "$RUN/s-$panel-$scheme-$form.png"
    done
    stop $APP $watcher
  done
done
for kind in x s; do
  files=()
  for panel in $PANELS; do for scheme in 2 1; do for form in offline connected; do
    files+=("$RUN/$kind-$panel-$scheme-$form.png")
  done; done; done
  "$IM/montage" "${files[@]}" -tile 4x4 -geometry 48x52+3+3 -filter point -background '#888888' \
    "$OUT/tray-$([ $kind = x ] && echo xembed || echo sni).png" || fail "montage"
done
echo "PASS: $OUT/tray-xembed.png $OUT/tray-sni.png"
