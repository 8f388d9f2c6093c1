#!/usr/bin/env bash
# The launcher entry, the bash completion and the generated manual pages.
# Usage: desktop_files_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

# Without desktop-file-validate (package desktop-file-utils) only the installed program and icon are checked.
desktop=$src/packaging/glowticker.desktop
! command -v desktop-file-validate >/dev/null || desktop-file-validate "$desktop" || fail "invalid launcher"
grep -qx "Exec=glowticker-app" "$desktop" && grep -qx "Icon=glowticker" "$desktop" || fail "launcher lacks Exec or Icon"

# Each check: the exact offers, then the words typed so far (the last one is being completed).
completion=$src/packaging/glowticker.bash-completion
export PATH=$build/bin:$PATH  # the completion asks the program for its agents
check() {
  local expected=$1 got
  shift
  got=$(bash --norc --noprofile -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _glowticker; ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' _ "$completion" "$@")
  [[ "$got" == "$expected" ]] || fail "completing '$*': got '$got', expected '$expected'"
}
check "autostart devices hook install pair send status uninstall unpair " glowticker ""
check "claude codex kimi " glowticker install --agent ""
check "--agent " glowticker uninstall ""
check "--code --host --http-port --name --ws-port " glowticker pair --device phone ""
check "--message --project --state --title --ts --type " glowticker send --agent codex ""
bash --norc --noprofile -c 'source "$1"; complete -p glowticker glowticker-cli' _ "$completion" >/dev/null ||
  fail "completion is not registered for both names"

man=$build/packaging/man
if [[ ! -f $man/glowticker.1.gz ]]; then
  command -v help2man >/dev/null || { echo "SKIP: help2man not installed (apt-get install help2man)"; exit 77; }
  fail "$man/glowticker.1.gz was not generated"
fi
for p in glowticker glowticker-hook $([[ -f $man/glowticker-app.1.gz ]] && echo glowticker-app); do
  for section in "EXIT STATUS" ENVIRONMENT FILES; do
    zcat "$man/$p.1.gz" | grep -Eq "^\.SH \"?$section\"?$" || fail "$p.1 has no $section section"
  done
done
[[ $(zcat "$man/glowticker-cli.1.gz") == ".so man1/glowticker.1" ]] || fail "glowticker-cli page"
echo "desktop files: ok"
