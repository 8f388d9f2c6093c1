#!/usr/bin/env bash
# Builds the Debian package from the build tree with cpack, installs it with dpkg, runs the installed
# programs, removes the package and checks that nothing it installed is left behind.
# Usage: deb_package_test.sh BUILD_DIR SANITIZER   (exits 77 when it cannot run here)
set -euo pipefail
build=$1
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

[[ -z "${2:-}" ]] || skip "sanitizer builds are not packaged (this is a '$2' build)"
[[ -x "$build/bin/glowticker-app" ]] || skip "this build has no tray app (GT_BUILD_APP=OFF), so no complete package"
[[ $(id -u) -eq 0 ]] || skip "installing a package with dpkg needs root"
for tool in dpkg dpkg-deb dpkg-shlibdeps cpack file; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (apt-get install dpkg-dev cmake file)"
done
# Never touch a copy the user installed, by package or by hand.
bins="/usr/bin/glowticker /usr/bin/glowticker-app /usr/bin/glowticker-cli /usr/bin/glowticker-hook"
! dpkg-query -W -f='${Status}' glowticker 2>/dev/null | grep -q "ok installed" || skip "glowticker is installed here"
for f in $bins; do [[ ! -e $f ]] || skip "$f already exists and would be overwritten"; done

tmp=$(mktemp -d)
installed=0
trap '((installed)) && dpkg --purge glowticker >/dev/null 2>&1; rm -rf "$tmp"' EXIT
log() { "$@" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; fail "$* failed"; }; }

log cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out"
deb=$(ls "$tmp"/out/glowticker_*.deb 2>/dev/null | head -n1)
[[ -n "$deb" ]] || fail "cpack made no glowticker_*.deb: $(ls "$tmp/out")"
# shlibdeps must have found the libraries the programs link; the rest is recommended.
dpkg-deb --field "$deb" Package Version Architecture Maintainer Depends Recommends | tee "$tmp/control"
for need in Recommends:.*avahi-daemon Recommends:.*fonts-noto-cjk Depends:.*{libc6,libqt6widgets6,libcurl4,libavahi-client3,qt6-wayland}; do
  grep -q "^$need" "$tmp/control" || fail "control lacks $need"
done
dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$tmp/contents"
for f in $bins /usr/share/applications/glowticker.desktop /usr/share/bash-completion/completions/glowticker{,-cli} \
  /usr/share/man/man1/glowticker.1.gz /usr/share/icons/hicolor/{16x16,256x256}/apps/glowticker.png; do
  grep -qx "$f" "$tmp/contents" || fail "$f is not in the package"
done

installed=1
log dpkg -i "$deb"
dpkg -L glowticker >"$tmp/files"
[[ $(/usr/bin/glowticker --version) == glowticker\ * ]] || fail "glowticker --version: $(/usr/bin/glowticker --version)"
# The app from the installed path: still running after a second (timeout says 124, or 137 when TERM was not enough).
mkdir -p "$tmp/home"
rc=0
HOME="$tmp/home" XDG_CONFIG_HOME= XDG_RUNTIME_DIR="$tmp" QT_QPA_PLATFORM=offscreen \
  DBUS_SESSION_BUS_ADDRESS="unix:path=$tmp/no-bus" timeout -k 5 1 /usr/bin/glowticker-app >"$tmp/app.log" 2>&1 || rc=$?
[[ $rc -eq 124 || $rc -eq 137 ]] || { cat "$tmp/app.log" >&2; fail "glowticker-app exited within a second (status $rc)"; }

log dpkg -r glowticker
installed=0
! dpkg-query -W -f='${Status}' glowticker 2>/dev/null | grep -q "ok installed" || fail "still installed after dpkg -r"
# Shared folders such as /usr/bin stay; every file of the package must be gone.
left=$(while read -r f; do if [[ -e "$f" && ! -d "$f" ]] || [[ -L "$f" ]]; then echo "$f"; fi; done <"$tmp/files")
[[ -z "$left" ]] || fail "files left after removal: $left"
dpkg --purge glowticker >/dev/null 2>&1 || true
echo "deb package: ok ($(basename "$deb"), $(stat -c %s "$deb") bytes)"
