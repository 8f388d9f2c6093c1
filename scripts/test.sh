#!/usr/bin/env bash
# Builds the project and runs the whole test suite: every fuzz target (clang 14, ASan+UBSan) for
# GT_FUZZ_SECONDS each, then a normal build, an AddressSanitizer+UBSan build and a ThreadSanitizer
# build, each with all its tests (installs missing Debian packages when run as root). The normal build
# also runs the real coding agents against a mock model (ctest label "agents"; installed with npm once
# into ~/.cache/glowticker/agents), unless GT_SKIP_AGENTS=1.
# GT_TEST_BUILDS limits the stages, e.g. GT_TEST_BUILDS=normal for a quick run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
builds=${GT_TEST_BUILDS:-fuzz normal address thread}
jobs=$(nproc)
for b in $builds; do
  if [ "$b" = fuzz ]; then
    # First, so that the run still ends with ctest's own summary.
    echo "=== fuzz build (build-fuzz), ${GT_FUZZ_SECONDS:-60} s per target"
    CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGT_FUZZ=ON \
      -DGT_FUZZ_SECONDS="${GT_FUZZ_SECONDS:-60}" -DGT_BUILD_APP=OFF -DGT_BUILD_TESTS=OFF -DGT_BUILD_BENCH=OFF >/dev/null
    cmake --build build-fuzz -j "$jobs" --target fuzz
    continue
  fi
  case $b in
    normal) dir=build; san="" ;;
    address) dir=build-asan; san=address ;;
    thread) dir=build-tsan; san=thread ;;
    *) echo "unknown build '$b'" >&2; exit 2 ;;
  esac
  echo "=== $b build ($dir)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGT_SANITIZE="$san" \
    -DGT_BUILD_BENCH=$([ "$b" = normal ] && echo ON || echo OFF) >/dev/null
  cmake --build "$dir" -j "$jobs"
  if [ "$b" = normal ]; then
    echo "=== real agents (Claude Code, Codex CLI) against a mock model"
    # It says in one line why it is skipped; an install that fails stops the run.
    agents=0 && tests/agents/real_agents_e2e.sh --install || agents=$?
    case $agents in
      0) (cd "$dir" && ctest --output-on-failure -L agents --timeout 600) ;;
      77) ;;
      *) exit "$agents" ;;
    esac
  fi
  # A failing build stops the run, so the last lines printed are always ctest's own summary. The real
  # desktops (label "desktops", about half a minute) run in every build: the window adapters run
  # nowhere else. The agents ran above.
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300 -LE agents)
done
