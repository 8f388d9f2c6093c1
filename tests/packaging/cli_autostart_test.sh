#!/usr/bin/env bash
# `glowticker autostart on|off|status` on a temporary HOME, with the program copied into a folder of its
# own so that "on" must find glowticker-app beside it (and fail clearly when it is not there).
set -euo pipefail
cli=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$tmp/home" "$tmp/my apps"
cp "$cli" "$tmp/my apps/glowticker"
export HOME="$tmp/home"
unset XDG_CONFIG_HOME
entry="$HOME/.config/autostart/glowticker.desktop"
gt() { "$tmp/my apps/glowticker" "$@"; }

# No app beside the program: a clear failure and no entry.
if out=$(gt autostart on 2>&1); then fail "on succeeded without glowticker-app: $out"; fi
grep -q "glowticker-app" <<<"$out" || fail "the failure does not name the missing app: $out"
[[ ! -e "$entry" ]] || fail "an entry was written although the app is missing"

printf '#!/bin/sh\nexit 0\n' >"$tmp/my apps/glowticker-app"
chmod 755 "$tmp/my apps/glowticker-app"

[[ $(gt autostart status) == "Autostart off." ]] || fail "status before on"
gt autostart on >/dev/null
[[ -f "$entry" ]] || fail "no entry at $entry"
grep -qx "Exec=\"$tmp/my apps/glowticker-app\"" "$entry" || fail "Exec line: $(grep Exec "$entry")"
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$entry"; fi
gt autostart status | grep -qF "Autostart on: $tmp/my apps/glowticker-app" || fail "status after on"

# The app moved: status warns, the entry still names the old path until the app repairs it.
mv "$tmp/my apps/glowticker-app" "$tmp/gone"
gt autostart status | grep -q "^Warning:" || fail "no warning for a missing program"

gt autostart off >/dev/null
[[ ! -e "$entry" ]] || fail "entry left after off"
gt autostart off >/dev/null || fail "off twice"

# XDG_CONFIG_HOME is honoured.
mv "$tmp/gone" "$tmp/my apps/glowticker-app"
XDG_CONFIG_HOME="$tmp/xdg" gt autostart on >/dev/null
[[ -f "$tmp/xdg/autostart/glowticker.desktop" ]] || fail "XDG_CONFIG_HOME not honoured"

# Usage errors exit with 2.
set +e
gt autostart >/dev/null 2>&1; [[ $? -eq 2 ]] || fail "missing action should exit 2"
gt autostart maybe >/dev/null 2>&1; [[ $? -eq 2 ]] || fail "unknown action should exit 2"
set -e
echo "cli autostart: ok"
