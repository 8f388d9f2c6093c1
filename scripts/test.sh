#!/usr/bin/env bash
# Builds the project and runs the whole test suite: a normal build, then an AddressSanitizer+UBSan
# build and a ThreadSanitizer build (installs missing Debian packages when run as root).
# GT_TEST_BUILDS limits the builds, e.g. GT_TEST_BUILDS=normal for a quick run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
builds=${GT_TEST_BUILDS:-normal address thread}
jobs=$(nproc)
for b in $builds; do
  case $b in
    normal) dir=build; san="" ;;
    address) dir=build-asan; san=address ;;
    thread) dir=build-tsan; san=thread ;;
    *) echo "unknown build '$b'" >&2; exit 2 ;;
  esac
  echo "=== $b build ($dir)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGT_SANITIZE="$san" -DGT_BUILD_BENCH=$([ "$b" = normal ] && echo ON || echo OFF) >/dev/null
  cmake --build "$dir" -j "$jobs"
  # A failing build stops the run, so the last lines printed are always ctest's own summary.
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300)
done
