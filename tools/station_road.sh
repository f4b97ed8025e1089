#!/usr/bin/env bash
# The road of one device on a fresh virtual bench: a firmware upgrade with a
# generated image (qxtest --file, unattended), then the calibration station,
# then the final station on the same device. Builds what it needs first.
#
# Every endpoint is on a free loopback port. The record of each station run
# (JSON) and its JUnit file are left in QX_RECORD_DIR (default
# build/records). QX_BUILD_DIR picks the build directory (default build).
# Exit status 0 when the upgrade completed and both stations passed.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${QX_BUILD_DIR:-build}"
jobs="${QX_JOBS:-2}"
records="${QX_RECORD_DIR:-$build/records}"

source tools/build_programs.sh
build_programs station_road "$build" "$jobs" qxsim qxtest qxfwpack qxstation
bin="$build/bin"

work="$(mktemp -d "${TMPDIR:-/tmp}/qx-road-XXXXXX")"
source tools/qxsim_start.sh
trap 'qxsim_stop; rm -rf "$work"' EXIT

image="$work/Z5_firmware_1.25.bin"
"$bin/qxfwpack" -o "$image" --generate 50000 --seed 7 --fw-version 1.25 >/dev/null

mkdir -p "$records"
if ! qxsim_start "$bin/qxsim" "$work/qxsim" --state "$work/state" --usb 127.0.0.1:0 \
    --eth 127.0.0.1:0 --ts-endpoint 127.0.0.1:0 --ts-results "$records/server-results.txt" \
    --meter-link "$work/meter"; then
  echo "station_road: qxsim did not start" >&2
  exit 1
fi
export QXM_USB_ENDPOINT="$QXSIM_USB" QX_DEVICE_IP="$QXSIM_ETH" QXTS_ENDPOINT="$QXSIM_TS"
export QX_COM3="$QXSIM_METER"

step() { printf '\n=== %s\n' "$*"; }
# The report is printed anew after every test; the last one is the result.
last_report() { awk '/^QXTest Version/ { report = "" } { report = report $0 "\n" } END { printf "%s", report }' "$1"; }

step "firmware upgrade: $(basename "$image")"
if ! "$bin/qxtest" --file "$image" --no-wait; then
  echo "station_road: the upgrade did not complete" >&2
  exit 1
fi

for station in calibration final; do
  step "station $station"
  if ! "$bin/qxstation" --station "$station" --record "$records" \
      --junit "$records/$station.xml" >"$work/$station.out"; then
    last_report "$work/$station.out"
    echo "station_road: the $station station failed; its record is in $records" >&2
    exit 1
  fi
  last_report "$work/$station.out"
done

echo
echo "station_road: upgrade, calibration and final station passed; records in $records"
