#!/usr/bin/env bash
# Start-up failures around VAPIX: a token refused twice ends with 100; a token refused
# once, or a wrong path once, is renewed and retried; identity that cannot be read, and a
# web server port that is no number, end with 1.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-start --no-node

log=$(mktemp)
version_written() { [ "$(camera-sim-ctl get orvane.Version)" = 3.1.10 ]; }

# run_to_exit: starts Orvane and waits (bounded) for it to end by itself.
run_to_exit() {
  orvane_start "$log" console
  local waited=0
  while kill -0 "$orvane_pid" 2>/dev/null; do
    [ $waited -lt 300 ] || { orvane_stop KILL; fail "Orvane did not end: $(cat "$log")"; }
    sleep 0.1
    waited=$((waited + 1))
  done
  orvane_status=0
  wait "$orvane_pid" || orvane_status=$?
}

# A token refused on the first request and again after renewal.
camera-sim-ctl vapix-fail 401 2
run_to_exit
expect_eq "$orvane_status" 100 "exit status after two 401"
expect_match "$(cat "$log")" '\[ Error   \] VapixAccess - Invalid authorization token$' "two 401"

# Refused once (as after a password renewal) or answered 404 once: retried, start-up goes on.
for status in 401 404; do
  camera-sim-ctl set orvane.Version 0.0.0
  camera-sim-ctl vapix-fail $status 1
  orvane_start "$log" console
  wait_until 20 version_written || fail "Version not written after one $status: $(cat "$log")"
  orvane_stop
  expect_eq "$orvane_status" 0 "exit status after one $status"
  ! grep -q '\[ Error   \]' "$log" || fail "error lines after one $status: $(cat "$log")"
done

# The serial number answered 500 twice: logged, and the camera cannot be identified.
camera-sim-ctl vapix-fail 500 2
run_to_exit
expect_eq "$orvane_status" 1 "exit status without serial number"
expect_match "$(cat "$log")" \
  '\[ Error   \] Unable to get parameter "Properties.System.SerialNumber" - status: 500$' "serial number read"
expect_match "$(cat "$log")" '\[ Error   \] Camera info reading failed\.$' "identity failure"

# A web server port of letters.
camera-sim-ctl set System.BoaPort http 2>/dev/null || true
if [ "$(camera-sim-ctl get System.BoaPort)" = http ]; then
  run_to_exit
  expect_eq "$orvane_status" 1 "exit status with a BoaPort of letters"
  expect_match "$(cat "$log")" '\[ Error   \] Invalid parameter "System.BoaPort" value: http$' "BoaPort of letters"
else
  fail "camera-sim refused a BoaPort of letters; the case cannot be set up"
fi
pass
