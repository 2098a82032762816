#!/usr/bin/env bash
# Start-up against the simulated camera (console, signals, version, log level, VAPIX
# failures) and parameter changes made on the camera while running.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-start --no-node --params "$top/tests/integration/params_no_soc.params"

# Console lines in the exact format with an argument, none without; status 0 within 1 s of a signal.
console_line='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[ (Info   |Debug  |Error  |Warning|Trace  ) \] '
version_written() { [ "$(camera-sim-ctl get orvane.Version)" = 3.1.10 ]; }

for run in "TERM console" "INT console" "TERM"; do
  read -r signal argument <<<"$run"
  log=$(mktemp)
  camera-sim-ctl set orvane.Version 0
  orvane_start "$log" $argument
  wait_until 20 version_written || fail "Orvane did not write its version ($run): $(cat "$log")"
  started=$(date +%s%N)
  orvane_stop "$signal"
  elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
  expect_eq "$orvane_status" 0 "exit status after SIG$signal"
  [ "$elapsed_ms" -lt 1000 ] || fail "SIG$signal took ${elapsed_ms} ms"
  if [ -n "$argument" ]; then
    head -1 "$log" | grep -qE "$console_line" || fail "console line not in the expected format: $(head -3 "$log")"
  else
    [ ! -s "$log" ] || fail "console output without an argument: $(head -3 "$log")"
  fi
  rm -f "$log"
done

# SIGINT during a large removal still ends Orvane (no shell that ignores SIGINT does the work).
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
wait_until 30 orvane_ended || fail "SIGINT during a removal was lost"
wait "$remover" || true
echo "SIGINT during a removal: ended after $(( ($(date +%s%N) - started) / 1000000 )) ms"
rm -rf "$log" "$big"

# Level "debug": identity, version and hash written; the missing Soc is an error line only.
log=$(mktemp)
camera-sim-ctl set orvane.LogLevel debug
camera-sim-ctl set orvane.Version 0.0.0
orvane_start "$log" console
wait_until 20 version_written || fail "Version not written at level debug: $(cat "$log")"
wait_until 20 api_up || fail "HTTP API not ready at level debug: $(cat "$log")"
camera-sim-ctl set orvane.Enabled 0
camera-sim-ctl set orvane.Enabled 1
hash=$(camera-sim-ctl get orvane.VersionHash)
expect_match "$hash" '^release-[0-9.]+\|[0-9a-f]{40}\|[0-9]+$' "VersionHash"
build_time=${hash##*|}
[ "$build_time" -le "$(date +%s)" ] && [ "$build_time" -gt 1600000000 ] || fail "VersionHash build time $build_time"
wait_for_log "$log" 'Parameter ".*Enabled" changed' 10 || fail "no change line at level debug: $(cat "$log")"
expect_match "$(cat "$log")" \
  "\[ Error   \] Unable to get parameter \"Properties.System.Soc\" - parse error, data: # Error" "missing Soc"
kill -0 "$orvane_pid" || fail "Orvane ended after a missing Soc"
orvane_stop
expect_eq "$orvane_status" 0 "exit status at level debug"
expect_match "$(cat "$log")" '\[ Debug   \] Exit$' "Debug lines at level debug"
[ "$(grep -c '\[ Error   \]' "$log")" = 1 ] || fail "more than the Soc error: $(cat "$log")"

run_to_exit() {
  orvane_start "$log" console
  wait_until 30 orvane_ended || { orvane_stop KILL; fail "Orvane did not end: $(cat "$log")"; }
  orvane_stop
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
  ! grep '\[ Error   \]' "$log" | grep -vq 'Properties.System.Soc' || fail "error lines after one $status: $(cat "$log")"
done

# The serial number answered 500 twice: logged, and the camera cannot be identified.
camera-sim-ctl vapix-fail 500 2
run_to_exit
expect_eq "$orvane_status" 1 "exit status without serial number"
expect_match "$(cat "$log")" \
  '\[ Error   \] Unable to get parameter "Properties.System.SerialNumber" - status: 500$' "serial number read"
expect_match "$(cat "$log")" '\[ Error   \] Camera info reading failed\.$' "identity failure"

boa_port=$(vapix_port)
camera-sim-ctl set System.BoaPort http || fail "camera-sim refused a BoaPort of letters"
run_to_exit
expect_eq "$orvane_status" 1 "exit status with a BoaPort of letters"
expect_match "$(cat "$log")" '\[ Error   \] Invalid parameter "System.BoaPort" value: http$' "BoaPort of letters"
camera-sim-ctl set System.BoaPort "$boa_port"

# Parameter changes, on a running Orvane at level Info, started with package configurations
# it cannot parse.
camera-sim-ctl set orvane.LogLevel info
camera-sim-ctl set orvane.PackageConfigurations '{"x":'
orvane_start "$log" console
wait_until 20 api_up || fail "no start: $(cat "$log")"
expect_match "$(cat "$log")" '\[ Error   \] Parse package configurations error' "stored configurations at start-up"
ORVANE_LOG=$log ORVANE_PID=$orvane_pid
log_since() { tail -n +"$1" "$ORVANE_LOG"; }
next_line() { echo $(($(wc -l <"$ORVANE_LOG") + 1)); }

# events_since LINE: "C <ms>" per change line, "P <ms>" per Process line (ms since midnight).
events_since() {
  log_since "$1" | while IFS= read -r line; do
    local kind
    case $line in
      *'[ Info    ] Parameter "'*'" changed') kind=C ;;
      *'[ Info    ] Process changed params') kind=P ;;
      *) continue ;;
    esac
    local time=${line:11:12}
    echo "$kind $(((10#${time:0:2} * 3600 + 10#${time:3:2} * 60 + 10#${time:6:2}) * 1000 + 10#${time:9:3}))"
  done
}

# check_settling LINE: each Process line comes >= 450 ms after a change since the previous one
# (a change re-arms the timer), and the last change is applied.
check_settling() {
  local kind ms last_change="" pending=0
  while read -r kind ms; do
    if [ "$kind" = C ]; then
      last_change=$ms pending=1
    else
      [ "$pending" = 1 ] || fail "Process line without a change before it: $(log_since "$1")"
      [ $((ms - last_change)) -ge 450 ] ||
        fail "applied $((ms - last_change)) ms after a change, before the burst settled: $(log_since "$1")"
      pending=0
    fi
  done < <(events_since "$1")
  [ "$pending" = 0 ] || fail "last change not applied: $(log_since "$1")"
}

# Let the one-shot re-check pass, or a burst inside its window shows up twice. It is armed
# for 1 s, but a whole-second GLib timer may fire up to a second late: 3 s leaves a margin
# on a loaded machine.
sleep 3

send_burst() {
  local url credentials
  url="http://127.0.0.12:$(vapix_port)/axis-cgi/param.cgi"
  credentials=$(vapix_credentials)
  curl -sf -o /dev/null --rate 10/s \
    --digest -u "$credentials" "$url" --data action=update --data-urlencode "orvane.Enabled=$(($1 % 2))" --next \
    --digest -u "$credentials" "$url" --data action=update --data-urlencode "orvane.NodejsLocation=/tmp/$1/" --next \
    --digest -u "$credentials" "$url" --data action=update --data-urlencode "orvane.LogLevel=error" ||
    fail "VAPIX updates refused"
}

# Three changes 100 ms apart (sent again if a loaded machine spreads them over the window).
for attempt in 1 2 3; do
  start=$(next_line)
  send_burst "$attempt"
  settled() { [ "$(events_since "$start" | grep -c '^C')" = 3 ] && events_since "$start" | tail -1 | grep -q '^P'; }
  wait_until 10 settled || fail "burst not applied: $(log_since "$start")"
  # A wrongly armed second timer would fire within this time.
  sleep 0.8
  check_settling "$start"

  expect_eq "$(log_since "$start" | grep -oE '\[ Info    \] Parameter ".*" changed$' | cut -d'"' -f2 | paste -sd' ')" \
    "root.Orvane.Enabled root.Orvane.NodejsLocation root.Orvane.LogLevel" "the changes, in order"
  times=($(events_since "$start" | awk '{print $2}'))
  if [ $((times[2] - times[0])) -lt 450 ]; then
    expect_eq "$(events_since "$start" | grep -c '^P')" 1 "Process lines for one burst"
    echo "changes $((times[1] - times[0])) and $((times[2] - times[1])) ms apart; applied $((times[3] - times[2])) ms after the third"
    break
  fi
  [ "$attempt" -lt 3 ] || fail "the three changes never arrived within 450 ms: $(log_since "$start")"
done

# LogLevel is now "error" in the store, but the running level stays: Info lines go on.
start=$(next_line)
camera-sim-ctl set orvane.Enabled 1
wait_for_log "$ORVANE_LOG" 'Parameter ".*Enabled" changed$' 10 || fail "no change line after LogLevel error"
applied() { log_since "$start" | grep -q 'Process changed params'; }
wait_until 10 applied || fail "change after LogLevel error not applied: $(log_since "$start")"

# A new PackageConfigurations value reconciles the packages once; the same value again does not.
start=$(next_line)
configurations='{"ghost":{"enabled": true}}'
for round in 1 2; do
  camera-sim-ctl set orvane.PackageConfigurations "$configurations"
  rounds_applied() { [ "$(log_since "$start" | grep -c 'Process changed params')" = "$round" ]; }
  wait_until 10 rounds_applied || fail "PackageConfigurations change $round not applied: $(log_since "$start")"
done
check_settling "$start"
[ "$(log_since "$start" | grep -c 'Orvane - Package not found: ghost')" = 1 ] ||
  fail "expected one reconciliation for one new value: $(log_since "$start")"
kill -0 "$ORVANE_PID" || fail "Orvane ended"
orvane_stop
expect_eq "$orvane_status" 0 "exit status after the changes"
pass
