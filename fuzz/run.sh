#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds each, starting from the checked-in seed
# corpora (copied, so the tree is never written), and prints one line per target.
# Usage: fuzz/run.sh [BIN_DIR] [SECONDS] [TARGET...]   (defaults: build-fuzz/bin, 60, all)
# Build first:  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DGT_FUZZ=ON \
#                 -DGT_BUILD_APP=OFF -DGT_BUILD_TESTS=OFF -DGT_BUILD_BENCH=OFF && cmake --build build-fuzz
# Exit status 1 when any target found a crash, leak or broken invariant (its input is kept in
# $GT_FUZZ_OUT, default a fresh temporary directory, and named in the output).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build-fuzz/bin}
secs=${2:-60}
shift 2 2>/dev/null || shift $#
targets=("$@")
[ ${#targets[@]} -gt 0 ] || for d in "$here"/corpus/*/; do targets+=("$(basename "$d")"); done
out=${GT_FUZZ_OUT:-$(mktemp -d /tmp/gt-fuzz.XXXXXX)}
status=0
for t in "${targets[@]}"; do
  work=$out/$t
  rm -rf "$work/corpus"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp "$here/corpus/$t/"* "$work/corpus/" 2>/dev/null || true
  # -timeout bounds one input, -rss_limit_mb one process; libFuzzer stops itself at max_total_time.
  if "$bin/$t" "$work/corpus" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" >"$work/log" 2>&1; then
    echo "$t: ok, $(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1) runs in $secs s"
  else
    echo "$t: FINDING or missing program (log $work/log; inputs $(ls "$work/artifacts" | tr '\n' ' '))"
    status=1
  fi
done
exit $status
