#!/usr/bin/env bash
# One lasting Wine session for a Windows build's programs:
#   wine_session.sh run PREFIX PROGRAM [ARGS...]
#       runs PROGRAM under Wine in the session of PREFIX, starting the session
#       first when it is not up; on a failure names the program, its status
#       and the session on standard error. CMake and CTest run every Windows
#       program of the build through this (the build's emulator).
#   wine_session.sh start PREFIX
#       starts the session (harmless when it is up): a Wine server that stays
#       until stopped, and Wine's own services booted, the prefix created or
#       updated first when it needs it.
#   wine_session.sh stop PREFIX
#       ends the session and every Windows program in it.
#
# Why a session of our own: Debian starts the Wine server on demand with no
# persistence (-p0), so it shuts down whenever no Windows program runs, as in
# the instant between two tests; a program that starts while it shuts down is
# dropped before its first line (status 1, no output or "wine client error:0:
# recvmsg: Connection reset by peer"), and each new server boots Wine's
# services and may update the prefix again under the programs that follow.
# A server started with -p (no number) never shuts down by itself.
set -uo pipefail

usage() {
  echo "usage: wine_session.sh run PREFIX PROGRAM [ARGS...] | start PREFIX | stop PREFIX" >&2
  exit 2
}
[[ $# -ge 2 ]] || usage
command="$1"
export WINEPREFIX="$2"
shift 2
[[ "$WINEPREFIX" == /* ]] || { echo "wine_session: PREFIX must be an absolute path" >&2; exit 2; }
# Wine's own chatter (and Debian's hint about 32-bit Wine) off unless asked
# for; no offer to install .NET or a browser into a new prefix.
export WINEDEBUG="${WINEDEBUG--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree,mshtml=}"

# Sets server to the process id of this prefix's lasting server; false when
# none runs (a server started on demand does not count: it would shut down).
session_server() {
  local dir comm args
  server=""
  for dir in /proc/[0-9]*; do
    read -r comm <"$dir/comm" 2>/dev/null || continue
    [[ "$comm" == wineserver* ]] || continue
    grep -qxzF "WINEPREFIX=$WINEPREFIX" "$dir/environ" 2>/dev/null || continue
    mapfile -d '' args <"$dir/cmdline" 2>/dev/null || continue
    [[ ${#args[@]} -gt 1 && "${args[-1]}" == "-p" ]] || continue
    server="${dir#/proc/}"
    return 0
  done
  return 1
}

start_session() {
  mkdir -p "$WINEPREFIX" || exit 1
  # One starter at a time (ctest -j runs programs side by side); the lock's
  # descriptor is closed for everything started here, or the server would
  # hold the lock for good.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if ! session_server; then
    # A server started on demand would still shut down between programs.
    wineserver -k 9>&- >/dev/null 2>&1
    wineserver -p 9>&- </dev/null >/dev/null 2>&1
    # The first program of a session boots Wine's services (creating or
    # updating the prefix when it needs it) and waits for them; its output
    # goes nowhere, since the services it starts outlive it.
    wine wineboot -i 9>&- </dev/null >/dev/null 2>&1
    # The prefix's own record that it is up to date comes last.
    for _ in $(seq 600); do
      [[ -f "$WINEPREFIX/.update-timestamp" ]] && break
      sleep 0.1
    done
    if ! session_server || [[ ! -f "$WINEPREFIX/.update-timestamp" ]]; then
      echo "wine_session: no lasting Wine server for $WINEPREFIX (wineserver -p failed?)" >&2
      exit 1
    fi
  fi
  exec 9>&-
}

case "$command" in
  start)
    [[ $# -eq 0 ]] || usage
    start_session
    ;;
  stop)
    [[ $# -eq 0 ]] || usage
    wineserver -k >/dev/null 2>&1
    exit 0
    ;;
  run)
    [[ $# -ge 1 ]] || usage
    start_session
    before="$server"
    status=0
    wine "$@" || status=$?
    if [[ $status -ne 0 ]]; then
      session_server
      if [[ "$server" == "$before" ]]; then
        where=" in the Wine session of $WINEPREFIX (server $server, still up)"
      else
        where="; the Wine server $before of $WINEPREFIX ended while it ran"
      fi
      # Wine's own status for a program it could not start.
      [[ $status -eq 53 ]] && where+="; 53: Wine could not load the program or a DLL it needs"
      echo "wine_session: '$*' ended with status $status$where" >&2
    fi
    exit "$status"
    ;;
  *)
    usage
    ;;
esac
