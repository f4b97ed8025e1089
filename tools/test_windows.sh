#!/usr/bin/env bash
# The Windows build, tested under Wine:
#   1. cross-builds the station's programs and every unit test that needs
#      neither the bench nor POSIX (mingw-w64, static runtime);
#   2. runs those tests under Wine through CTest;
#   3. runs the Windows programs against the Linux qxsim over loopback, each
#      on a fresh bench: qxstation.exe --station calibration and qxtest.exe
#      --file --no-wait, whose console output (standard output and error)
#      must equal the Linux program's on an identical bench byte for byte,
#      apart from the figures that differ between runs (see masked below);
#      qxmeter.exe reading the meter as COM3 (Wine's dosdevices link to
#      qxsim's pseudo-terminal, no setting).
# Every Windows program runs in one lasting Wine session of the build's own
# prefix (tools/wine_session.sh, which CMake and CTest use too), stopped at
# the end.
#
# Usage: tools/test_windows.sh [--unit-tests]   (--unit-tests: steps 1 and 2)
# Needs x86_64-w64-mingw32-g++-posix, wine, /usr/src/googletest; builds the
# Linux qxsim, qxfwpack, qxstation and qxtest in QX_BUILD_DIR (build) when
# missing. QX_WIN_BUILD_DIR picks the Windows build directory (build-win).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${QX_JOBS:-2}"
linux="${QX_BUILD_DIR:-build}"
win="${QX_WIN_BUILD_DIR:-build-win}"
unit_only=false
case "$*" in
  "") ;;
  --unit-tests) unit_only=true ;;
  *) echo "usage: tools/test_windows.sh [--unit-tests]" >&2; exit 2 ;;
esac
started=$SECONDS
step() { echo "== windows: $* ($((SECONDS - started)) s)"; }

# No display, so no console window either.
unset DISPLAY WAYLAND_DISPLAY
unset QXM_USB_ENDPOINT QX_DEVICE_IP QXTS_ENDPOINT QX_COM3

work="$(mktemp -d "${TMPDIR:-/tmp}/qx-windows-XXXXXX")"
source tools/qxsim_start.sh
prefix=""
cleanup() {
  # Wine first: it may still hold the meter's terminal open.
  [[ -z "$prefix" ]] || bash tools/wine_session.sh stop "$prefix"
  qxsim_stop
  rm -rf "$work"
}
trap cleanup EXIT

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

if ! $unit_only; then
  step "Linux bench"
  [ -f "$linux/CMakeCache.txt" ] || cmake -S . -B "$linux" "${launcher[@]}" >/dev/null
  cmake --build "$linux" -j"$jobs" --target qxsim qxfwpack qxstation qxtest >/dev/null
fi

step "cross build"
cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON "${launcher[@]}" >/dev/null
prefix="$(sed -n 's/^QX_WINEPREFIX:INTERNAL=//p' "$win/CMakeCache.txt")"
[[ -n "$prefix" ]] || { echo "windows: $win names no Wine prefix" >&2; exit 1; }
winrun=(bash tools/wine_session.sh run "$prefix")
cmake --build "$win" -j"$jobs"

step "unit tests under Wine"
ctest --test-dir "$win" --output-on-failure -j"$jobs" --timeout 120
if $unit_only; then
  step "done"
  exit 0
fi

# Starts a fresh qxsim on free ports; sets usb, eth and ts to its endpoints.
start_sim() {  # name meter-link
  if ! qxsim_start "$linux/bin/qxsim" "$work/$1" --usb 127.0.0.1:0 --eth 127.0.0.1:0 \
      --ts-endpoint 127.0.0.1:0 --state "$work/$1.state" --ts-results "$work/$1.results" \
      --meter-link "$2"; then
    echo "windows: qxsim did not start" >&2
    exit 1
  fi
  usb="$QXSIM_USB" eth="$QXSIM_ETH" ts="$QXSIM_TS"
}

# A console's bytes less the figures that differ between two runs on
# identical benches, both timed: the count of stream scans that the Ethernet
# test's fixed window holds, and the upgrade's restart wait, one tick per
# poll. Serial numbers, MACs and readings come out of a fresh bench the same
# every time, and stay.
masked() {
  sed -E -e 's/[0-9]+ Stream Scans\./N Stream Scans./g' -e $'s|Waiting: [0-9]+ / [0-9]+\r||g' "$1"
}

# The Windows program's standard output and error against the Linux one's;
# on a difference, the first line that differs from each.
same_console() {  # what linux-files windows-files (each with .out and .err)
  local stream linux windows at
  for stream in out err; do
    linux="$2.$stream.masked" windows="$3.$stream.masked"
    masked "$2.$stream" >"$linux"
    masked "$3.$stream" >"$windows"
    cmp -s "$linux" "$windows" && continue
    at="$(cmp "$linux" "$windows" 2>&1 | grep -o 'line [0-9]*' | grep -o '[0-9]*' || true)"
    at="${at:-1}"
    echo "windows: $1: the Windows std$stream differs from Linux's at line $at (^M is a CR):" >&2
    echo "  Linux:   $(sed -n "${at}p" "$linux" | cat -v)" >&2
    echo "  Windows: $(sed -n "${at}p" "$windows" | cat -v)" >&2
    return 1
  done
  echo "windows: $1: the Windows console equals Linux's byte for byte, the timed figures aside"
}

step "calibration station, Linux then Windows, each on a fresh bench"
start_sim linux "$work/meter"
linux_status=0
QXM_USB_ENDPOINT="$usb" QX_DEVICE_IP="$eth" QXTS_ENDPOINT="$ts" QX_COM3="$work/meter" \
  timeout 600 "$linux/bin/qxstation" --station calibration >"$work/linux.out" \
  2>"$work/linux.err" </dev/null || linux_status=$?

start_sim windows "$prefix/dosdevices/com3"
status=0
QXM_USB_ENDPOINT="$usb" QX_DEVICE_IP="$eth" QXTS_ENDPOINT="$ts" \
  timeout 600 "${winrun[@]}" "$win/bin/qxstation.exe" --station calibration \
  >"$work/windows.out" 2>"$work/windows.err" </dev/null || status=$?
tr -d '\r' <"$work/windows.out" | sed -n '/^QXTest Version/,$p' | tail -n 25
cat "$work/windows.err"
if [ "$status" -ne "$linux_status" ]; then
  echo "windows: qxstation.exe --station calibration ended $status, the Linux station $linux_status" >&2
  exit 1
fi
same_console "qxstation --station calibration" "$work/linux" "$work/windows"
if [ "$linux_status" -eq 0 ]; then
  grep -q 'Overall Result: *\*\* Passed \*\*' "$work/windows.out"
  echo "windows: the calibration station passed"
else
  first="$(tr -d '\r' <"$work/linux.out" | grep -m1 -E ' (Error|Fatal|Warning) ' | tr -s ' ' || true)"
  echo "windows: NOTE the calibration station does not pass on Linux either ($first);"
  echo "windows: the Windows run gave the same report"
fi

step "meter as COM3 through Wine's device link"
# A fresh bench: once Wine has set the meter's handshake on a pseudo-terminal,
# the C library refuses its next attempt to set 7E2 there (the terminal keeps
# no framing); a real COM port has no such limit.
start_sim meter "$prefix/dosdevices/com3"
"${winrun[@]}" "$win/bin/qxmeter.exe" --port COM3 --samples 4 </dev/null | tee "$work/meter.out"
grep -q '^mean ' "$work/meter.out"
# Its lines end in a bare line feed, as on Linux.
if grep -q $'\r' "$work/meter.out"; then
  echo "windows: qxmeter.exe wrote a carriage return" >&2
  exit 1
fi

step "firmware upgrade, Linux qxtest then Windows qxtest.exe, each on a fresh bench"
image="$work/Z5_firmware_1.25.bin"
"$linux/bin/qxfwpack" -o "$image" --generate 50000 --seed 7 --fw-version 1.25 >/dev/null
start_sim upgrade-linux "$work/upgrade-linux.meter"
QXM_USB_ENDPOINT="$usb" timeout 300 "$linux/bin/qxtest" --file "$image" --no-wait \
  </dev/null >"$work/upgrade-linux.out" 2>"$work/upgrade-linux.err" || true
start_sim upgrade-windows "$work/upgrade-windows.meter"
status=0
QXM_USB_ENDPOINT="$usb" timeout 300 "${winrun[@]}" "$win/bin/qxtest.exe" \
  --file "Z:${image//\//\\}" --no-wait </dev/null >"$work/upgrade-windows.out" \
  2>"$work/upgrade-windows.err" || status=$?
tr '\r' '\n' <"$work/upgrade-windows.out" | grep -v '^$' | grep -v '^Waiting' | tail -n 4
cat "$work/upgrade-windows.err"
[ "$status" -eq 0 ] || { echo "windows: qxtest.exe ended $status" >&2; exit 1; }
grep -q 'Final Check' "$work/upgrade-windows.out" && ! grep -q 'Error: ' "$work/upgrade-windows.out"
grep -q 'Current FW: 1.2500' "$work/upgrade-windows.out"
same_console "qxtest --file --no-wait" "$work/upgrade-linux" "$work/upgrade-windows"
echo "windows: qxtest.exe upgraded the virtual device to 1.25"

step "done"
