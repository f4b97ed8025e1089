#!/usr/bin/env bash
# The layout's rules in words. The build enforces the floors itself (each
# folder's library sees only the headers of the folders it may use); this
# check says the same readably, and adds what the compiler cannot see.
#
# The floors, lowest first; a folder may include its own headers and those
# of the folders listed for it, never one above it:
#   platform/     the operating system, nothing else
#   qxm/          the device-access library: platform/
#   base/         bounded texts, MAC texts, the command line, the version,
#                 the status codes: platform/, and qxm/qxm_errors.h alone
#   device/       the device link: base/ qxm/ platform/
#   harness/      the test framework: device/ and below
#   instruments/  serial port and meter: base/ platform/
#   server/ production/ upgrade/   tests of the station: harness/ and below
#   calibration/  server/ instruments/ harness/ and below
#   station/      the station table and what qxstation wires: all of the above
#   fwpack/       upgrade files for tools and tests: upgrade/ and below
#   programs/     every *_main.cpp: any library
# Beside them the bench, sim/: base/ qxm/ platform/ (with platform/host/),
# and the line tool, line/: base/ platform/ (with platform/host/) and the
# calibration constants' table, calibration/table/.
# Besides:
#   - platform/host/ (pseudo-terminal, signals, listener, Poll) is the
#     bench's and the tests': no floor of the station includes it;
#   - only platform/ includes operating-system headers or tests for _WIN32.
# Usage: tools/check_layout.sh [ROOT]   (ROOT defaults to this repository)
# Prints one line per breach and exits 1 when there is any, 0 otherwise.
set -uo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$root" || exit 2

# Operating-system headers, POSIX and Win32; the C++ standard library's own
# headers (<csignal>, <thread>, ...) are not among them.
os_headers='sys/.*|net/.*|netinet/.*|arpa/.*|linux/.*|unistd\.h|termios\.h|poll\.h|fcntl\.h'
os_headers+='|netdb\.h|pty\.h|util\.h|dirent\.h|pthread\.h|spawn\.h|dlfcn\.h|sched\.h|pwd\.h'
os_headers+='|grp\.h|semaphore\.h|signal\.h|windows\.h|winsock2?\.h|ws2tcpip\.h|mswsock\.h'
os_headers+='|iphlpapi\.h|io\.h|process\.h|direct\.h|conio\.h'

# Files outside platform/ that may still include operating-system headers:
# a path pattern (a * also spans folders, so a file keeps its entry when it
# moves into a subfolder of tests/) and the headers it may include. Remove an
# entry once its file goes through platform/.
exceptions=(
  # Tests: scripted peers on raw sockets, child processes, temporary files and
  # pseudo-terminals, until tests/support offers them.
  "tests/*test_upgrade.cpp sys/stat.h unistd.h"
  "tests/*test_serial.cpp fcntl.h poll.h termios.h unistd.h"
  "tests/*test_meter.cpp sys/stat.h unistd.h"
  "tests/support/child_process.h sys/types.h"
  "tests/support/child_process.cpp fcntl.h poll.h signal.h sys/wait.h unistd.h"
  "tests/*test_calibration_math.cpp unistd.h"
  "tests/*test_firmware_file.cpp sys/stat.h unistd.h"
  # The round trip's floor: a ping-pong on the system's own sockets, so that
  # it does not move with the platform layer under measurement.
  "bench/roundtrip.cpp arpa/inet.h netinet/in.h netinet/tcp.h sched.h sys/socket.h unistd.h"
  # The benchmarks place their threads on chosen processors.
  "bench/placement.h sched.h"
)

failures=0
fail() {
  echo "$1"
  failures=$((failures + 1))
}

excepted() {  # path header
  local entry pattern headers header
  for entry in "${exceptions[@]}"; do
    read -r pattern headers <<<"$entry"
    # shellcheck disable=SC2053  # the pattern is a glob on purpose
    [[ "$1" == $pattern ]] || continue
    for header in $headers; do [[ "$header" == "$2" ]] && return 0; done
  done
  return 1
}

# grep -rn over those of the folders that exist: "file:line:text" lines.
scan() {  # pattern folders...
  local pattern="$1" dir dirs=()
  shift
  for dir in "$@"; do [ -d "$dir" ] && dirs+=("$dir"); done
  [ ${#dirs[@]} -gt 0 ] || return 0
  grep -rnE --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.cc' \
    "$pattern" "${dirs[@]}" | sort
}

# folder | the folders it may include besides its own
floors=(
  "platform|"
  "qxm|platform"
  "base|platform qxm/qxm_errors.h"
  "device|base qxm platform"
  "harness|device base qxm platform"
  "instruments|base platform"
  "server|harness device base qxm platform"
  "production|harness device base qxm platform"
  "upgrade|harness device base qxm platform"
  "calibration|server instruments harness device base qxm platform"
  "station|calibration production upgrade server instruments harness device base qxm platform"
  "fwpack|upgrade harness device base qxm platform"
  "sim|base qxm platform"
  "line|base platform calibration/table/cal_constant_table.h"
)
for entry in "${floors[@]}"; do
  IFS='|' read -r folder allowed <<<"$entry"
  while IFS=: read -r file line text; do
    [[ "$text" =~ \"([^\"]*)\" ]] || continue
    path="${BASH_REMATCH[1]}"
    target="${path%%/*}"
    if [[ "$path" == platform/host/* && "$file" == platform/* && "$file" != platform/host/* ]]; then
      fail "$file:$line: platform/host/ is the bench's: the station's platform does not include it"
      continue
    fi
    [ "$target" = "$folder" ] && continue
    ok=0
    for a in $allowed; do
      [[ "$a" == "$target" || "$a" == "$path" ]] && ok=1
    done
    [ $ok -eq 1 ] && [[ "$path" == platform/host/* && "$folder" != sim && "$folder" != line ]] && ok=0
    [ $ok -eq 1 ] && continue
    if [ "$target" = sim ]; then
      fail "$file:$line: the station does not include the bench (sim/)"
    elif [[ "$path" == platform/host/* ]]; then
      fail "$file:$line: platform/host/ is the bench's: $folder/ does not include it"
    else
      fail "$file:$line: $folder/ may not include $path (it may use: ${allowed:-nothing})"
    fi
  done < <(scan '^\s*#\s*include\s*"[a-z_]+/' "$folder")
done

outside=(base device harness upgrade server instruments calibration production station fwpack qxm sim
  line programs tests tools bench)
while IFS=: read -r file line text; do
  [[ "$text" =~ \<([^>]*)\> ]] && header="${BASH_REMATCH[1]}"
  excepted "$file" "$header" ||
    fail "$file:$line: <$header> is an operating-system header: reach it through platform/"
done < <(scan "^\s*#\s*include\s*<($os_headers)>" "${outside[@]}")
while IFS=: read -r file line _; do
  fail "$file:$line: _WIN32 is tested only in platform/"
done < <(scan '^\s*#\s*(if|ifdef|ifndef|elif).*\b_WIN(32|64)\b' "${outside[@]}")

if [ "$failures" -gt 0 ]; then
  echo "layout check: $failures breach(es)"
  exit 1
fi
echo "layout check: passed"
