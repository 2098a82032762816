#!/usr/bin/env bash
# Start-up against the simulated camera: the version and build identifier written through
# VAPIX, an unreadable identity field that is only logged, and the log level taken from
# the parameter once at start (an unknown spelling meaning Info).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-start --no-node --params "$top/tests/integration/params_no_soc.params"

log=$(mktemp)
version_written() { [ "$(camera-sim-ctl get orvane.Version)" = 3.1.10 ]; }
# The HTTP API answers only after every parameter and its callback were registered.
api_ready() { curl -s -o /dev/null http://127.0.0.1:22520/api_check.cgi; }

# start_with_level LEVEL: Orvane started with console output and the LogLevel parameter set.
start_with_level() {
  camera-sim-ctl set orvane.LogLevel "$1"
  camera-sim-ctl set orvane.Version 0.0.0
  orvane_start "$log" console
  wait_until 20 version_written || fail "Version not written with LogLevel $1: $(cat "$log")"
  wait_until 20 api_ready || fail "HTTP API not ready with LogLevel $1: $(cat "$log")"
  camera-sim-ctl set orvane.Enabled 0
  camera-sim-ctl set orvane.Enabled 1
}

# Level "debug": identity, version and hash written; the missing Soc is an error line only.
start_with_level debug
hash=$(camera-sim-ctl get orvane.VersionHash)
expect_match "$hash" '^release-[0-9.]+\|[0-9a-f]{40}\|[0-9]+$' "VersionHash"
now=$(date +%s)
build_time=${hash##*|}
[ "$build_time" -le "$now" ] && [ "$build_time" -gt $((now - 10 * 365 * 86400)) ] ||
  fail "VersionHash build time $build_time is not a recent Unix time"
wait_for_log "$log" 'Parameter ".*Enabled" changed' 10 || fail "no change line at level debug: $(cat "$log")"
expect_match "$(cat "$log")" \
  "\[ Error   \] Unable to get parameter \"Properties.System.Soc\" - parse error, data: # Error" "missing Soc"
kill -0 "$orvane_pid" || fail "Orvane ended after a missing Soc"
orvane_stop
expect_eq "$orvane_status" 0 "exit status at level debug"
expect_match "$(cat "$log")" '\[ Debug   \] Exit$' "Debug lines at level debug"
[ "$(grep -c '\[ Error   \]' "$log")" = 1 ] || fail "more than the Soc error: $(cat "$log")"

# Level "Debug" is no level name: Info, so change lines but no Debug lines.
start_with_level Debug
wait_for_log "$log" 'Parameter ".*Enabled" changed' 10 || fail "no change line at level Debug: $(cat "$log")"
orvane_stop
expect_eq "$orvane_status" 0 "exit status at level Debug"
! grep -q '\[ Debug   \]' "$log" || fail "Debug lines at level Debug (Info): $(cat "$log")"

pass
