#!/bin/sh
# Starts and stops the loopback SNPP sandbox around the C host test (a CTest fixture), and runs
# the C host against it.
#
#   sandbox_fixture.sh start SANDBOX STATE_DIR REFUSED_PAGER [MAKE_CERTS]
#       starts the sandbox on a free port, waits (10 s at most) for its READY line, and records
#       its address in STATE_DIR/address and its process id in STATE_DIR/pid. With MAKE_CERTS
#       (tests/tls/make_certs.sh) the sandbox speaks TLS with certificates made in STATE_DIR/certs
#   sandbox_fixture.sh run STATE_DIR C_HOST LIBRARY GOOD_PAGER REFUSED_PAGER
#       (passes STATE_DIR/certs/ca.pem on when the sandbox speaks TLS)
#   sandbox_fixture.sh stop STATE_DIR
set -eu

case "$1" in
start)
  sandbox=$2 state=$3 refused=$4
  rm -rf "$state" && mkdir -p "$state"
  set -- --port 0 --refuse-pager "$refused"
  if [ -n "${5:-}" ]; then
    sh "$5" "$state/certs"
    set -- "$@" --tls-cert "$state/certs/server.pem" --tls-key "$state/certs/server.key"
  fi
  # Output to files, not to CTest's pipes: CTest would wait for the server to end.
  "$sandbox" "$@" </dev/null >"$state/out" 2>"$state/err" &
  echo $! >"$state/pid"
  tries=0
  while ! grep -q '^READY ' "$state/out" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
      echo "sandbox_fixture: the sandbox did not report READY; its error output:" >&2
      cat "$state/err" >&2
      exit 1
    fi
    sleep 0.1
  done
  sed -n 's/^READY [^ ]* \(.*\)$/\1/p' "$state/out" | head -n 1 >"$state/address"
  echo "sandbox_fixture: sandbox at $(cat "$state/address")"
  ;;
run)
  state=$2 host_program=$3 library=$4 good=$5 refused=$6
  address=$(cat "$state/address")
  if [ -d "$state/certs" ]; then set -- "$state/certs/ca.pem"; else set --; fi
  exec "$host_program" "$library" "${address%:*}" "${address##*:}" "$good" "$refused" "$@"
  ;;
stop)
  state=$2
  if [ -f "$state/pid" ]; then
    kill "$(cat "$state/pid")" 2>/dev/null || true
    rm -f "$state/pid"
  fi
  ;;
*)
  echo "usage: sandbox_fixture.sh start|run|stop ..." >&2
  exit 2
  ;;
esac
