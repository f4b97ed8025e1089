#!/usr/bin/env bash
# The layout check passes on the tree as it stands and fails on each kind of
# breach, added one at a time to a copy of the tree (never to the tree itself).
# Usage: test_check_layout.sh SOURCE_DIR
set -uo pipefail
src="${1:?source directory}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for dir in base device harness upgrade server instruments calibration production station fwpack qxm \
  platform sim programs tests tools bench; do
  [ -d "$src/$dir" ] && cp -r "$src/$dir" "$work/"
done
check() { bash "$src/tools/check_layout.sh" "$work"; }

errors=0
if ! out=$(check); then
  echo "FAIL: the tree as it stands breaks the layout:"
  echo "$out"
  errors=1
fi

# file | line added at its end | expected: "pass" or a text of the breach's message
cases=(
  'device/registers.cpp|#include "sim/bench.h"|device/registers.cpp:'
  'qxm/handles.cpp|#include "sim/bench.h"|does not include the bench'
  'base/text.cpp|#include <unistd.h>|<unistd.h> is an operating-system header'
  'upgrade/firmware_file.cpp|#include <sys/socket.h>|<sys/socket.h>'
  'server/server_link.cpp|#include <winsock2.h>|<winsock2.h>'
  'base/text.h|#ifdef _WIN32|_WIN32 is tested only in platform/'
  'device/flash.cpp|#if defined(_WIN32)|_WIN32'
  'harness/selection.cpp|#include "server/server_tests.h"|harness/ may not include server/'
  'harness/harness.cpp|#include "production/dac_test.h"|may not include production/dac_test.h'
  'harness/report.cpp|#include "station/stations.h"|harness/ may not include station/'
  'device/registers.cpp|#include "harness/harness.h"|device/ may not include harness/harness.h'
  'instruments/meter.cpp|#include "harness/context.h"|instruments/ may not include harness/'
  'server/server_link.cpp|#include "calibration/cal_point.h"|server/ may not include calibration/'
  'base/text.cpp|#include "qxm/qxm.h"|base/ may not include qxm/qxm.h'
  'station/station_run.cpp|#include "sim/bench.h"|does not include the bench'
  'server/server_link.cpp|#include "platform/host/pty.h"|platform/host/ is the bench'"'"'s'
  'platform/socket.cpp|#include "platform/host/poll.h"|platform/host/ is the bench'"'"'s'
  'station/station_table.h|#include "server/server_tests.h"|pass'
  'base/status_codes.cpp|#include "qxm/qxm_errors.h"|pass'
  'sim/bench.cpp|#include "platform/host/pty.h"|pass'
  'platform/status.cpp|#include <unistd.h>|pass'
  'base/text.cpp|#include <thread>|pass'
)
# An excepted file may include only the headers listed for it.
excepted=$(cd "$work" && find tests -name 'test_upgrade.cpp' | head -n 1)
[ -n "$excepted" ] && cases+=("$excepted|#include <termios.h>|<termios.h>")

for c in "${cases[@]}"; do
  IFS='|' read -r file line expected <<<"$c"
  if [ ! -f "$work/$file" ]; then
    echo "FAIL: $file is missing from the tree"
    errors=1
    continue
  fi
  cp "$work/$file" "$work/$file.orig"
  printf '%s\n' "$line" >>"$work/$file"
  out=$(check)
  status=$?
  mv "$work/$file.orig" "$work/$file"
  if [ "$expected" = pass ]; then
    [ $status -eq 0 ] || { echo "FAIL: '$line' in $file was refused: $out"; errors=1; }
  elif [ $status -ne 1 ] || ! grep -qF -- "$expected" <<<"$out"; then
    echo "FAIL: '$line' in $file: status $status, wanted 1 and \"$expected\"; got: $out"
    errors=1
  fi
done
[ $errors -eq 0 ] && echo "layout check test: passed"
exit $errors
