#!/bin/sh
# Runs the hook start-up benchmark and prints the medians and the ratio to /bin/true.
# Usage: hook_startup.sh PATH/TO/gt_bench_hooks
set -eu
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$1" --benchmark_report_aggregates_only=true --benchmark_format=console --benchmark_out="$out" \
  --benchmark_out_format=json
/usr/bin/python3 - "$out" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
med = {r["run_name"]: r["real_time"] for r in runs if r.get("aggregate_name") == "median"}
base = med["BM_BinTrue/iterations:40/repeats:15/real_time"]
for name, t in med.items():
    print(f"{name.split('/')[0]:12s} median {t:9.1f} us  = {t / base:5.2f} x /bin/true")
hook = med["BM_Hook/iterations:40/repeats:15/real_time"] / base
print(f"glowticker-hook / bin/true = {hook:.2f} (target <= 2.5): {'ok' if hook <= 2.5 else 'OVER'}")
PY
