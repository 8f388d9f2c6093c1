#!/bin/sh
# Event intake of two builds in one run: the previous build's gt_bench_events beside this one's, taking
# turns so both meet the same load on a shared machine. Prints the median records per second (wall
# clock) and per CPU second of each, and the ratio new / previous.
# Usage: compare_intake.sh PREVIOUS_BENCH NEW_BENCH [ROUNDS]   (ROUNDS turns each, 7 by default)
set -eu
usage="usage: compare_intake.sh PREVIOUS_BENCH NEW_BENCH [ROUNDS]"
old=${1:?$usage}
new=${2:?$usage}
rounds=${3:-7}
out=$(mktemp -d /tmp/gtintake-XXXXXX)
trap 'rm -rf "$out"' EXIT
i=0
while [ "$i" -lt "$rounds" ]; do
  for which in old new; do
    eval bin=\$$which
    "$bin" --benchmark_filter='BM_IntakeConnections' --benchmark_min_time=0.5 --benchmark_format=json \
      >"$out/$which-$i.json" 2>/dev/null
  done
  i=$((i + 1))
done
/usr/bin/python3 - "$out" <<'PY'
import glob, json, statistics, sys
rows = {}
for which in ("old", "new"):
    for f in glob.glob(f"{sys.argv[1]}/{which}-*.json"):
        for b in json.load(open(f))["benchmarks"]:
            key = (b["name"].split("/")[1], which)
            rows.setdefault(key, []).append((b["items_per_second"], b.get("records_per_cpu_s", 0)))
print(f"{'connections':>11} {'build':>8} {'records/s':>12} {'records/cpu s':>14}  (medians of {len(rows[('1', 'old')])} runs)")
for conns in sorted({k[0] for k in rows}, key=int):
    med = {w: [statistics.median(v[i] for v in rows[(conns, w)]) for i in (0, 1)] for w in ("old", "new")}
    for w, name in (("old", "previous"), ("new", "new")):
        print(f"{conns:>11} {name:>8} {med[w][0]:12.0f} {med[w][1]:14.0f}")
    print(f"{conns:>11} {'ratio':>8} {med['new'][0] / med['old'][0]:12.2f} {med['new'][1] / med['old'][1]:14.2f}")
PY
