#!/usr/bin/env bash
# Builds the benchmarks (optimised, in build-bench/) and runs them: the
# station's own costs (bench_station), then the side-by-side round trip
# (roundtrip: needs libmodbus-dev), with its threads across two processors
# and on one. Prints a short table of the results.
# Usage: tools/bench.sh [--quick]   (--quick: shorter runs, noisier numbers)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${QX_JOBS:-2}"
min_time=0.5
rounds=60
if [ "${1:-}" = "--quick" ]; then
  min_time=0.1
  rounds=15
elif [ $# -gt 0 ]; then
  echo "usage: tools/bench.sh [--quick]" >&2
  exit 2
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQX_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
targets=(bench_station)
known=$(cmake --build build-bench --target help)
grep -qw roundtrip <<<"$known" && targets+=(roundtrip)
cmake --build build-bench -j"$jobs" --target "${targets[@]}" >/dev/null

station=$(build-bench/bin/bench_station --benchmark_min_time="$min_time" --benchmark_format=csv 2>/dev/null)
echo "station costs (Google Benchmark, time per call):"
# CSV: name,iterations,real_time,cpu_time,time_unit,...
echo "$station" | awk -F, 'NR > 1 && $1 ~ /^"BM_/ {
  gsub(/"/, "", $1); printf "  %-32s %12.1f %s\n", $1, $3, $5 }'

if [[ " ${targets[*]} " == *" roundtrip "* ]]; then
  # Both placements: across two processors the floor is the wake-up of an
  # idle one; on one processor it is the system calls and switches alone.
  for cpus in split same; do
    echo
    build-bench/bin/roundtrip --rounds "$rounds" --cpus "$cpus" | tail -n +2
  done
else
  echo
  echo "roundtrip: not built (install libmodbus-dev)"
fi
