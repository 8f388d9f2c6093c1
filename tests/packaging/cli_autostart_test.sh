#!/usr/bin/env bash
# `glowticker autostart on|off|status` on a temporary HOME, with the program copied into a folder of its
# own so that "on" must find glowticker-app beside it (and fail clearly when it is not there).
set -euo pipefail
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
app="$tmp/my apps/glowticker-app"
mkdir -p "$tmp/home" "$tmp/my apps"
cp "$1" "$tmp/my apps/glowticker"
export HOME="$tmp/home"
unset XDG_CONFIG_HOME
entry="$HOME/.config/autostart/glowticker.desktop"
gt() { "$tmp/my apps/glowticker" "$@"; }

if out=$(gt autostart on 2>&1); then fail "on succeeded without glowticker-app: $out"; fi
grep -q "glowticker-app" <<<"$out" || fail "the failure does not name the missing app: $out"
[[ ! -e "$entry" ]] || fail "an entry was written although the app is missing"

printf '#!/bin/sh\nexit 0\n' >"$app"
chmod 755 "$app"
[[ $(gt autostart status) == "Autostart off." ]] || fail "status before on"
gt autostart on >/dev/null
grep -qx "Exec=\"$app\"" "$entry" || fail "Exec line: $(grep Exec "$entry")"
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$entry"; fi
gt autostart status | grep -qF "Autostart on: $app" || fail "status after on"
# Written whole with mode 0644 through a renamed temporary file; a second "on" replaces it.
cp "$entry" "$tmp/first"
gt autostart on >/dev/null
cmp -s "$entry" "$tmp/first" || fail "a second on changed the entry"
[[ $(stat -c %a "$entry") == 644 && $(ls -A "$(dirname "$entry")") == glowticker.desktop ]] ||
  fail "mode $(stat -c %a "$entry"), folder holds: $(ls -A "$(dirname "$entry")")"

# The app moved: status warns; the entry still names the old path until the app repairs it.
mv "$app" "$tmp/gone"
gt autostart status | grep -q "^Warning:" || fail "no warning for a missing program"
gt autostart off >/dev/null
[[ ! -e "$entry" ]] || fail "entry left after off"
gt autostart off >/dev/null || fail "off twice"
[[ $(gt autostart status) == "Autostart off." ]] || fail "status after off"

mv "$tmp/gone" "$app"
XDG_CONFIG_HOME="$tmp/xdg" gt autostart on >/dev/null
[[ -f "$tmp/xdg/autostart/glowticker.desktop" ]] || fail "XDG_CONFIG_HOME not honoured"

# An entry that is not ours, or that the user switched off, is reported and left alone.
unset XDG_CONFIG_HOME
printf '[Desktop Entry]\nExec=/usr/bin/other-app\n' >"$entry"
gt autostart status | grep -qF "runs /usr/bin/other-app, not glowticker-app" || fail "status of another program's entry"
printf '[Desktop Entry]\nExec="%s"\nHidden=true\n' "$app" >"$entry"
gt autostart status | grep -qF "is switched off" || fail "status of a switched-off entry"

for args in "" maybe; do
  rc=0
  gt autostart $args >/dev/null 2>&1 || rc=$?
  [[ $rc -eq 2 ]] || fail "autostart '$args' exited $rc, not 2"
done
echo "cli autostart: ok"
