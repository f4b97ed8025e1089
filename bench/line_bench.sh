#!/usr/bin/env bash
# qxline's benchmark: an optimised build of qxline and qxrecords in build-bench/, then
# bench/line_bench.py on RECORDS records (default 10000) of a calibration station's size in
# build-bench/line-bench/ (about 400 MB while it runs, removed at the end unless --keep).
set -euo pipefail
cd "$(dirname "$0")/.."
records=10000
keep=0
for arg in "$@"; do
  case "$arg" in
    --keep) keep=1 ;;
    [0-9]*) records="$arg" ;;
    *) echo "usage: bench/line_bench.sh [RECORDS] [--keep]" >&2; exit 2 ;;
  esac
done
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j"${QX_JOBS:-2}" --target qxline qxrecords >/dev/null
work="$PWD/build-bench/line-bench"
/usr/bin/python3 bench/line_bench.py "$PWD/build-bench/bin" "$PWD" "$work" "$records"
[ "$keep" = 1 ] || rm -rf "$work"
