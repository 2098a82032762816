#!/usr/bin/env bash
# The process entry: console lines in the exact format with an argument, none without,
# and exit status 0 within a second of SIGTERM or SIGINT.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-start --no-node

console_line='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[ (Info   |Debug  |Error  |Warning|Trace  ) \] '
version_written() { [ "$(camera-sim-ctl get orvane.Version)" = 3.1.10 ]; }

for signal in TERM INT; do
  log=$(mktemp)
  camera-sim-ctl set orvane.Version 0
  orvane_start "$log" console
  wait_until 20 version_written || fail "Orvane did not write its version: $(cat "$log")"
  started=$(date +%s%N)
  orvane_stop "$signal"
  elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
  expect_eq "$orvane_status" 0 "exit status after SIG$signal"
  [ "$elapsed_ms" -lt 1000 ] || fail "SIG$signal took ${elapsed_ms} ms"
  [ -s "$log" ] || fail "no console output with an argument"
  head -1 "$log" | grep -qE "$console_line" || fail "console line not in the expected format: $(head -3 "$log")"
  rm -f "$log"
done

# Without an argument nothing goes to the console.
log=$(mktemp)
camera-sim-ctl set orvane.Version 0
orvane_start "$log"
wait_until 20 version_written || fail "Orvane did not write its version without an argument"
orvane_stop TERM
expect_eq "$orvane_status" 0 "exit status after SIGTERM without an argument"
[ ! -s "$log" ] || fail "console output without an argument: $(head -3 "$log")"
rm -f "$log"

# SIGINT while a large package is being removed ends Orvane all the same: file work is done
# in the process, never by a shell that has the whole process ignore SIGINT meanwhile.
log=$(mktemp)
orvane_start "$log" console
api_up() { curl -sf -o /dev/null http://127.0.0.1:22520/api_check.cgi; }
wait_until 20 api_up || fail "the API did not come up: $(cat "$log")"
big=$orvane_app_dir/localdata/packages/big
mkdir -p "$big"
(cd "$big" && seq 200000 | xargs touch)
curl -s -o /dev/null 'http://127.0.0.1:22520/package/remove.cgi?package_name=big' &
remover=$!
wait_until 30 grep -q 'package_name = big' "$log" || fail "the removal did not start"
started=$(date +%s%N)
kill -INT "$orvane_pid"
orvane_ended() { ! grep -qE '^State:\s+[^Z]' "/proc/$orvane_pid/status" 2>/dev/null; }
wait_until 10 orvane_ended || fail "SIGINT during a removal was lost"
wait "$remover" || true
echo "SIGINT during a removal: ended after $(( ($(date +%s%N) - started) / 1000000 )) ms"
rm -f "$log"
pass
