#!/usr/bin/env bash
# send_event round trips through Orvane's WebSocket service and the simulator's event
# system at 1, 10 and 100 connections, and with one declaration stalled in the event
# system, next to a minimal libwebsockets echo server, in one sandbox, rounds interleaved.
# Prints figures; never fails on a time.
#   bench/ws_events.sh [SECONDS] [ROUNDS]   (ORVANE_BUILD_DIR selects the build, default build/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANE_BUILD_DIR:-$top/build}
if [ "${1:-}" != inside ]; then
  [ -x "$build/bench/lws_echo_server" ] || { echo "missing $build/bench/lws_echo_server (build with -DORVANE_BENCH=ON)"; exit 2; }
  [ -d "$top/tests/node_modules/ws" ] || (cd "$top/tests" && npm ci --silent --no-audit --no-fund >/dev/null)
  # At level Info, as on a camera in service: Debug logs every request.
  params=$(mktemp)
  trap 'rm -f "$params"' EXIT
  echo "orvane.LogLevel=info" >"$params"
  "$top/scripts/sandbox" --no-node --params "$params" --start -- "$0" inside "${1:-3}" "${2:-3}"
  exit
fi
echo_port=22600
"$build/bench/lws_echo_server" "$echo_port" &
echo_pid=$!
trap 'kill "$echo_pid" 2>/dev/null || true' EXIT
orvane_pid=$(pidof orvane)
node "$top/bench/ws_events.js" "$orvane_pid" "$echo_port" "$echo_pid" "$2" "$3"
