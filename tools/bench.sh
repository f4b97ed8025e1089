#!/usr/bin/env bash
# Builds the benchmarks (optimised, in build-bench/) and runs them: the
# station's own costs (bench_station); the side-by-side round trip
# (roundtrip: needs libmodbus-dev) and the work of a 120-page upgrade
# (upgrade_work), each with the threads across two processors and on one;
# then qxtest's peak memory over a real upgrade of that size against qxsim
# (about 15 s: the upgrade's fixed wait). Prints a short table of the results.
# Usage: tools/bench.sh [--quick]   (--quick: shorter runs, noisier numbers)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${QX_JOBS:-2}"
min_time=0.5
rounds=60
runs=5
if [ "${1:-}" = "--quick" ]; then
  min_time=0.1
  rounds=15
  runs=2
elif [ $# -gt 0 ]; then
  echo "usage: tools/bench.sh [--quick]" >&2
  exit 2
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQX_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
targets=(bench_station upgrade_work qxsim qxtest qxfwpack)
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

for cpus in split same; do
  echo
  build-bench/bin/upgrade_work --runs "$runs" --cpus "$cpus" | tail -n 2
done

echo
if [ ! -x /usr/bin/time ]; then
  echo "qxtest peak memory: not measured (install time)"
  exit 0
fi
work="$(mktemp -d "${TMPDIR:-/tmp}/qx-bench-XXXXXX")"
source tools/qxsim_start.sh
trap 'qxsim_stop; rm -rf "$work"' EXIT
image="$work/fw.bin"
build-bench/bin/qxfwpack -o "$image" --generate $((120 * 4096)) --seed 7 --fw-version 1.25 >/dev/null
qxsim_start build-bench/bin/qxsim "$work/qxsim" --state "$work/state" --usb 127.0.0.1:0 \
  --eth 127.0.0.1:0 --ts-endpoint 127.0.0.1:0 --restart-seconds 1
if ! QXM_USB_ENDPOINT="$QXSIM_USB" /usr/bin/time -f '%M %e' \
    -o "$work/time" build-bench/bin/qxtest --file "$image" --no-wait >"$work/qxtest.out"; then
  echo "qxtest: the upgrade did not complete" >&2
  exit 1
fi
read -r peak_kib seconds <"$work/time"
file_kib=$(($(stat -c %s "$image") / 1024))
echo "qxtest, a real 120-page upgrade: peak memory $peak_kib KiB" \
  "(target <= file $file_kib KiB + 4096 KiB = $((file_kib + 4096)) KiB), $seconds s with the fixed wait"
