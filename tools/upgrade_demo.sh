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

cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$jobs" --target qxsim qxtest qxfwpack >/dev/null
bin="$build/bin"

work="$(mktemp -d "${TMPDIR:-/tmp}/qx-upgrade-demo-XXXXXX")"
sim_pid=""
cleanup() {
  if [[ -n "$sim_pid" ]] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

image="$work/Z5_firmware_1.25.bin"
"$bin/qxfwpack" -o "$image" --generate 50000 --seed 7 --fw-version 1.25

sim_args=(--state "$work/state")
if [[ "${QX_DEMO_PORTS:-}" == "ephemeral" ]]; then
  sim_args+=(--usb 127.0.0.1:0 --eth 127.0.0.1:0 --ts-endpoint 127.0.0.1:0)
fi
"$bin/qxsim" "${sim_args[@]}" >"$work/qxsim.out" 2>"$work/qxsim.err" &
sim_pid=$!

# qxsim prints every endpoint it serves once it listens.
endpoint=""
for _ in $(seq 100); do
  endpoint="$(sed -n 's/^usb endpoint //p' "$work/qxsim.out")"
  [[ -n "$endpoint" ]] && grep -q '^test server ' "$work/qxsim.out" && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "upgrade_demo: qxsim did not start:" >&2
    cat "$work/qxsim.err" >&2
    echo "(busy ports? try QX_DEMO_PORTS=ephemeral)" >&2
    exit 1
  fi
  sleep 0.1
done
if [[ -z "$endpoint" ]]; then
  echo "upgrade_demo: qxsim printed no USB endpoint" >&2
  exit 1
fi
echo "qxsim: virtual Z5 on $endpoint"
export QXM_USB_ENDPOINT="$endpoint"

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
