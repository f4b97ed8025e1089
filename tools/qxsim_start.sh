# Starting and stopping qxsim for the tools' scripts: sourced, not run.
#
#   qxsim_start PROGRAM OUT ARGS...
#       starts PROGRAM (qxsim) in the background with ARGS, its output in
#       OUT.out and OUT.err, and waits until it has printed its endpoints
#       (the test server's comes last); then sets QXSIM_USB, QXSIM_ETH,
#       QXSIM_TS and QXSIM_METER to them. Returns 1, with the reason on
#       standard error, when it did not start or named no USB endpoint.
#   qxsim_stop
#       stops every qxsim started; harmless when none is running.
QXSIM_PIDS=()

qxsim_start() {
  local program="$1" out="$2"
  shift 2
  "$program" "$@" >"$out.out" 2>"$out.err" </dev/null &
  local pid=$!
  QXSIM_PIDS+=("$pid")
  for _ in $(seq 100); do
    grep -q '^test server ' "$out.out" && break
    if ! kill -0 "$pid" 2>/dev/null; then
      cat "$out.err" >&2
      return 1
    fi
    sleep 0.1
  done
  QXSIM_USB="$(sed -n 's/^usb endpoint //p' "$out.out")"
  QXSIM_ETH="$(sed -n 's/^eth endpoint //p' "$out.out")"
  QXSIM_TS="$(sed -n 's/^test server //p' "$out.out")"
  QXSIM_METER="$(sed -n 's/^meter //p' "$out.out")"
  if [[ -z "$QXSIM_USB" || -z "$QXSIM_TS" ]]; then
    echo "qxsim printed no endpoints within 10 s" >&2
    return 1
  fi
}

qxsim_stop() {
  local pid
  for pid in "${QXSIM_PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  QXSIM_PIDS=()
}
