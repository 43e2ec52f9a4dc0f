#!/usr/bin/env bash
# Shots handed over to a virtual machine through the native methods, against
# the native extraction of the same generated scans (5 M and 10 M shots) in
# the same run: medians of 3 repetitions on one core, the ratios, and the
# peak resident size per scan length.
# Usage: bench/host-bench.sh [CORE]   (default core 1)
set -euo pipefail
cd "$(dirname "$0")/.."
core=${1:-1}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
cmake --build build --target scanlib_host_bench
out=build/host-bench.json
taskset -c "$core" build/scanlib_host_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_out="$out" --benchmark_out_format=json >/dev/null
python3 - "$out" "$core" <<'PY'
import json, sys
runs = [b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("aggregate_name") == "median"]
def get(prefix):
    return next(b for b in runs if b["run_name"].startswith(prefix))
print(f"core {sys.argv[2]}, medians of 3")
print(f"{'scan':>6} {'codes':>10} {'host M shots/s':>15} {'native M shots/s':>17} {'ratio':>6} {'peak RSS MB':>12}")
for m in (5, 10):
    native = get(f"BM_native_extraction/{m}/")["shots_per_s"]
    for codes, label in ((0, "none"), (1, "2,3,4,5")):
        b = get(f"BM_host_jvm/{m}/{codes}/")
        print(f"{m:>5}M {label:>10} {b['shots_per_s'] / 1e6:>15.3f} {native / 1e6:>17.3f} "
              f"{b['shots_per_s'] / native:>6.3f} {b['peak_rss_MB']:>12.1f}")
PY
