#!/bin/sh
# Runs the hook start-up benchmark and prints the medians and the ratios to /bin/true, all three
# programs started in turn within one run.
# Usage: hook_startup.sh PATH/TO/gt_bench_hooks
set -eu
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$1" --benchmark_format=console --benchmark_out="$out" --benchmark_out_format=json
/usr/bin/python3 - "$out" <<'PY'
import json, sys
runs = {r["run_name"].split("/")[0]: r for r in json.load(open(sys.argv[1]))["benchmarks"]}
s = runs["BM_StartUp"]
base = s["true_us"]
for name, key in (("/bin/true", "true_us"), ("hook, app listening", "hook_us"), ("hook, no app", "hook_no_app_us")):
    print(f"{name:20s} median {s[key]:8.1f} us = {s[key] / base:5.2f} x /bin/true")
py = runs["BM_Python"]["real_time"]
print(f"{'python3 one-liner':20s} mean   {py:8.1f} us = {py / base:5.2f} x /bin/true")
alone = s["hook_no_app_us"] / base
print(f"glowticker-hook / bin/true, no app = {alone:.2f} (target <= 1.0): {'ok' if alone <= 1.0 else 'OVER'}")
PY
