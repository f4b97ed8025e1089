#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each for SECONDS (default 30), starting from the seed
# corpus in fuzz/corpus/<target>. The seeds are copied, never changed.
# Exit 1 when a target finds a fault (its reproducer lands in build-fuzz/).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
jobs="${QX_JOBS:-2}"
cxx="${QX_FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}"

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DQX_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
targets=()
for src in fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake --build build-fuzz -j"$jobs" --target "${targets[@]}"

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
for t in "${targets[@]}"; do
  work="build-fuzz/corpus/$t"
  mkdir -p "$work"
  [ -d "fuzz/corpus/$t" ] && cp -n "fuzz/corpus/$t"/* "$work"/ 2>/dev/null || true
  log="build-fuzz/$t.log"
  if (cd build-fuzz && "./fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
      -rss_limit_mb=2048 -timeout=10 "corpus/$t" >"$t.log" 2>&1); then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$t: ${runs:-?} executions, no finding"
  else
    echo "$t: FINDING (see $log)"
    tail -n 30 "$log"
    status=1
  fi
done
exit $status
