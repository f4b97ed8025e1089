#!/usr/bin/env bash
# A line's road on one machine: the virtual bench serves several devices,
# some of them with a fault; each device is upgraded, goes through the
# calibration station (the faulty ones twice, as a retest) and the final
# station (the first device twice); qxline loads the records the stations
# left and shows the yield, the failure Pareto, the statistics and an HTML
# report. Builds what it needs first.
#
#   tools/line_road.sh [--devices N] [--faulty K] [--generated]
#
#   --devices N   devices on the bench (default 4, at most 32)
#   --faulty K    of them, the last K have a dead DAC0 (default 1)
#   --generated   no bench: qxrecords writes a made-up line's records
#                 (N devices) instead of the stations
#
# The records, qxline's database (line.sqlite) and the report (report.html)
# are left in QX_LINE_DIR (default build/line-road). QX_BUILD_DIR picks the
# build directory (default build); QX_LINE_NO_BUILD=1 takes the programs
# already built there. Exit status 0 when every record was loaded and every
# figure made.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${QX_BUILD_DIR:-build}"
jobs="${QX_JOBS:-2}"
out="${QX_LINE_DIR:-$build/line-road}"
devices=4
faulty=1
generated=0
while [ $# -gt 0 ]; do
  case "$1" in
    --devices) devices="${2:?--devices needs a number}"; shift 2 ;;
    --devices=*) devices="${1#*=}"; shift ;;
    --faulty) faulty="${2:?--faulty needs a number}"; shift 2 ;;
    --faulty=*) faulty="${1#*=}"; shift ;;
    --generated) generated=1; shift ;;
    -h | --help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "line_road: unknown argument $1 (see tools/line_road.sh --help)" >&2; exit 2 ;;
  esac
done
if ! [[ "$devices" =~ ^[0-9]+$ && "$faulty" =~ ^[0-9]+$ ]] || [ "$devices" -lt 1 ] ||
    [ "$devices" -gt 32 ] || [ "$faulty" -gt "$devices" ]; then
  echo "line_road: --devices 1..32 and --faulty 0..devices (see tools/line_road.sh --help)" >&2
  exit 2
fi

if [ "${QX_LINE_NO_BUILD:-0}" != 1 ]; then
  cmake -S . -B "$build" >/dev/null
  targets=(qxline qxrecords)
  [ "$generated" = 1 ] || targets+=(qxsim qxtest qxfwpack qxstation)
  cmake --build "$build" -j"$jobs" --target "${targets[@]}" >/dev/null
fi
bin="$build/bin"
rm -rf "$out"
records="$out/records"
mkdir -p "$records"
step() { printf '\n=== %s\n' "$*"; }

if [ "$generated" = 1 ]; then
  step "records of a made-up line of $devices devices"
  "$bin/qxrecords" --out "$records" --devices "$devices"
else
  work="$(mktemp -d "${TMPDIR:-/tmp}/qx-line-XXXXXX")"
  sims=()
  trap 'for p in "${sims[@]}"; do kill -TERM "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
  # Two benches: the healthy devices and the faulty ones, each with its own
  # test server handing out serial numbers and MACs from a range of its own.
  good=$((devices - faulty))
  start_bench() {  # name count first-serial first-mac fault-options...
    local name="$1" count="$2" serial="$3" mac="$4"
    shift 4
    "$bin/qxsim" --devices "$count" --usb 127.0.0.1:0 --eth 127.0.0.1:0 --ts-endpoint 127.0.0.1:0 \
      --ts-first-serial "$serial" --ts-first-mac "$mac" --ts-results "$out/server-$name.txt" \
      --state "$work/$name.state" --meter-link "$work/$name-meter" "$@" \
      >"$work/$name.out" 2>"$work/$name.err" </dev/null &
    sims+=($!)
    for _ in $(seq 100); do
      grep -q '^test server ' "$work/$name.out" && return 0
      kill -0 "${sims[-1]}" 2>/dev/null || break
      sleep 0.1
    done
    cat "$work/$name.err" >&2
    echo "line_road: qxsim ($name) did not start" >&2
    exit 1
  }
  # The bench's own first serial number and MAC, and a range above them for
  # the second test server.
  default_mac=027C4B002001
  faulty_mac=027C4B012001
  # device index: bench name, its device number there
  declare -a where
  if [ "$good" -gt 0 ]; then
    start_bench good "$good" 470010002 "$default_mac"
    for ((k = 0; k < good; k++)); do where+=("good $k"); done
  fi
  if [ "$faulty" -gt 0 ]; then
    start_bench faulty "$faulty" 470020002 "$faulty_mac" --fault-dead-dac
    for ((k = 0; k < faulty; k++)); do where+=("faulty $k"); done
  fi
  endpoint() {  # bench device what
    local prefix=""
    [ "$2" = 0 ] || prefix="device $2 "
    sed -n "s/^${prefix}$3 //p" "$work/$1.out"
  }
  image="$work/Z5_firmware_1.25.bin"
  "$bin/qxfwpack" -o "$image" --generate 50000 --seed 7 --fw-version 1.25 >/dev/null
  # Each upgrade leaves its record beside the stations'.
  upgrade_record=(--record "$records")

  # One device's road; the devices go at once, as the stations of a line do.
  road() {
    local i="$1" bench dev
    read -r bench dev <<<"${where[$i]}"
    export QXM_USB_ENDPOINT QX_DEVICE_IP QXTS_ENDPOINT QX_COM3
    QXM_USB_ENDPOINT="$(endpoint "$bench" "$dev" 'usb endpoint')"
    QX_DEVICE_IP="$(endpoint "$bench" "$dev" 'eth endpoint')"
    QX_COM3="$(endpoint "$bench" "$dev" meter)"
    QXTS_ENDPOINT="$(sed -n 's/^test server //p' "$work/$bench.out")"
    local log="$out/device-$i.log" runs
    "$bin/qxtest" --file "$image" --no-wait "${upgrade_record[@]}" >"$log" 2>&1 || true
    runs=1
    [ "$bench" = faulty ] && runs=2  # a failed device is retested
    for ((r = 0; r < runs; r++)); do
      "$bin/qxstation" --station calibration --record "$records" --quiet >>"$log" 2>&1 || true
    done
    [ "$bench" = faulty ] && return 0
    runs=1
    [ "$i" = 0 ] && runs=2  # the first device goes through the final station twice
    for ((r = 0; r < runs; r++)); do
      "$bin/qxstation" --station final --record "$records" --quiet >>"$log" 2>&1 || true
    done
  }
  step "$devices devices ($faulty with a dead DAC0): upgrade, calibration, final"
  pids=()
  for ((i = 0; i < devices; i++)); do
    road "$i" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p"; done
  echo "$(find "$records" -name '*.json' | wc -l) records in $records"
fi

db="$out/line.sqlite"
step "qxline ingest"
status=0
"$bin/qxline" ingest --db "$db" "$records" 2>"$out/ingest.err" || status=$?
cat "$out/ingest.err" >&2
if [ "$status" != 0 ]; then
  if grep -q 'schema: missing (a record of version 1' "$out/ingest.err"; then
    echo "line_road: the stations still write records of version 1, which qxline does not" \
      "read; tools/line_road.sh --generated shows the road on made-up records" >&2
  fi
  exit "$status"
fi
step "qxline yield"
"$bin/qxline" yield --db "$db"
step "qxline pareto"
"$bin/qxline" pareto --db "$db"
step "qxline stats (the ten lowest Cpk)"
# Whole table to a file first: head closing the pipe early would end qxline
# with SIGPIPE, which pipefail reports as a failed road.
"$bin/qxline" stats --db "$db" >"$out/stats.txt"
head -n 11 "$out/stats.txt"
step "qxline report"
"$bin/qxline" report --db "$db" --html "$out/report.html"
echo
echo "line_road: records, database and report in $out"
