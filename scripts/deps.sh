#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/debian-packages.txt that are missing. As root it runs
# apt-get itself; otherwise it prints the exact command and fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
missing=()
# A line is a package name, optionally followed by "if-no-command CMD": needed only while CMD is missing.
while read -r pkg cond cmd; do
  [[ -z "$pkg" || "$pkg" == \#* ]] && continue
  [[ "${cond:-}" == if-no-command ]] && command -v "$cmd" >/dev/null && continue
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done <"$here/debian-packages.txt"
[[ ${#missing[@]} -eq 0 ]] && exit 0
cmd="apt-get install -y --no-install-recommends ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "Missing Debian packages. Run as root:" >&2
  echo "  apt-get update && $cmd" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# --no-install-recommends keeps libnss-mdns from editing /etc/nsswitch.conf.
$cmd
