#!/usr/bin/env bash
# The process entry: console lines in the exact format with an argument, none without,
# and exit status 0 within a second of SIGTERM or SIGINT.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

for signal in TERM INT; do
  log=$(mktemp)
  run_orvane_in_sandbox "$log" console
  wait_for_log "$log" 'Version|Orvane' 10 || true
  kill -"$signal" "$orvane_pid"
  started=$(date +%s%N)
  wait "$orvane_pid" && status=0 || status=$?
  elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
  expect_eq "$status" 0 "exit status after SIG$signal"
  [ "$elapsed_ms" -lt 1000 ] || fail "SIG$signal took ${elapsed_ms} ms"
  [ ! -s "$log" ] || grep -qE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[ (Info   |Debug  |Error  |Warning|Trace  ) \] ' "$log" ||
    fail "no console line in the expected format: $(head -3 "$log")"
  rm -f "$log"
done
pass
