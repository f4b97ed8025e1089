# Starting and stopping qxsim for the tools' scripts: sourced, not run.
#
#   qxsim_start PROGRAM OUT ARGS...
#       starts PROGRAM (qxsim) in the background with ARGS, its output in
#       OUT.out and OUT.err, and waits until it has printed its endpoints
#       (the test server's comes last). Returns 1, with qxsim's errors on
#       standard error, when it did not start.
#   qxsim_endpoint NAME
#       what the qxsim started last printed for NAME: "usb endpoint",
#       "eth endpoint", "test server" or "meter".
#   qxsim_stop
#       stops every qxsim started; harmless when none is running.
QXSIM_PIDS=()
QXSIM_OUT=""

qxsim_start() {
  local program="$1" out="$2"
  shift 2
  QXSIM_OUT="$out.out"
  "$program" "$@" >"$out.out" 2>"$out.err" </dev/null &
  local pid=$!
  QXSIM_PIDS+=("$pid")
  for _ in $(seq 100); do
    grep -q '^test server ' "$out.out" && return 0
    if ! kill -0 "$pid" 2>/dev/null; then
      cat "$out.err" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "qxsim printed no endpoints within 10 s" >&2
  return 1
}

qxsim_endpoint() { sed -n "s/^$1 //p" "$QXSIM_OUT"; }

qxsim_stop() {
  local pid
  for pid in "${QXSIM_PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  QXSIM_PIDS=()
}
