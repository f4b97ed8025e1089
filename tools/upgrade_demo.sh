#!/usr/bin/env bash
# A firmware upgrade of the virtual device, from a fresh clone: builds qxsim,
# qxtest and qxfwpack, generates an upgrade image, starts qxsim, runs qxtest
# with the image's path typed at its prompt (and Enter for "Press any key"),
# then stops qxsim.
#
# qxsim listens on its default endpoints (QXM_USB_ENDPOINT, QX_DEVICE_IP,
# QXTS_ENDPOINT override them). QX_DEMO_PORTS=ephemeral puts every endpoint
# on a free loopback port instead. QX_BUILD_DIR picks the build directory
# (default build). Exit status 0 when the upgrade reached its final check.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${QX_BUILD_DIR:-build}"
jobs="${QX_JOBS:-2}"

source tools/build_programs.sh
build_programs upgrade_demo "$build" "$jobs" qxsim qxtest qxfwpack
bin="$build/bin"

work="$(mktemp -d "${TMPDIR:-/tmp}/qx-upgrade-demo-XXXXXX")"
source tools/qxsim_start.sh
trap 'qxsim_stop; rm -rf "$work"' EXIT

image="$work/Z5_firmware_1.25.bin"
"$bin/qxfwpack" -o "$image" --generate 50000 --seed 7 --fw-version 1.25

sim_args=(--state "$work/state")
if [[ "${QX_DEMO_PORTS:-}" == "ephemeral" ]]; then
  sim_args+=(--usb 127.0.0.1:0 --eth 127.0.0.1:0 --ts-endpoint 127.0.0.1:0)
fi
if ! qxsim_start "$bin/qxsim" "$work/qxsim" "${sim_args[@]}"; then
  echo "upgrade_demo: qxsim did not start (busy ports? try QX_DEMO_PORTS=ephemeral)" >&2
  exit 1
fi
echo "qxsim: virtual Z5 on $QXSIM_USB"
export QXM_USB_ENDPOINT="$QXSIM_USB"

# Type the path once the prompt shows, then Enter for "Press any key".
out="$work/qxtest.out"
: >"$out"
{
  for _ in $(seq 100); do
    grep -q 'Enter full path to upgrade file:' "$out" && break
    sleep 0.1
  done
  printf '%s\n' "$image" >&2  # what the operator would see typed
  printf '%s\n' "$image"
  # Answer "Press any key" once the upgrade has asked for it.
  for _ in $(seq 1200); do
    grep -q 'Press any key' "$out" && break
    sleep 0.1
  done
  printf '\n'
} | "$bin/qxtest" | tee "$out"
echo

if grep -q 'Final Check' "$out" && ! grep -q 'Error: ' "$out"; then
  echo "upgrade_demo: the device now runs the firmware from $(basename "$image")"
  exit 0
fi
echo "upgrade_demo: the upgrade did not complete" >&2
exit 1
