#!/usr/bin/env bash
# Parameter changes made on the camera: each is logged when it arrives, a burst is applied
# once, 500 ms after its last change, a new LogLevel does not change the running level, and
# only a new PackageConfigurations value reconciles the packages.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-node

# ms_of LINE: the milliseconds since midnight of a console line's time stamp.
ms_of() {
  local time=${1:11:12}
  echo $(((10#${time:0:2} * 3600 + 10#${time:3:2} * 60 + 10#${time:6:2}) * 1000 + 10#${time:9:3}))
}

# Only what the log gets from here on counts.
start_line=$(($(wc -l <"$ORVANE_LOG") + 1))
burst_log() { tail -n +"$start_line" "$ORVANE_LOG"; }
camera-sim-ctl set orvane.Enabled 0
sleep 0.1
camera-sim-ctl set orvane.NodejsLocation /tmp/
sleep 0.1
camera-sim-ctl set orvane.LogLevel error
first_burst() { burst_log | grep -q 'Process changed params'; }
wait_until 10 first_burst || fail "no Process line: $(burst_log)"
# A second Process line would come within another 500 ms.
sleep 1

changes=$(burst_log | grep -E '\[ Info    \] Parameter ".*" changed$')
[ "$(wc -l <<<"$changes")" = 3 ] || fail "expected three change lines: $changes"
expect_match "$(sed -n 1p <<<"$changes")" 'Parameter "root\.Orvane\.Enabled" changed$' "first change"
expect_match "$(sed -n 2p <<<"$changes")" 'Parameter "root\.Orvane\.NodejsLocation" changed$' "second change"
expect_match "$(sed -n 3p <<<"$changes")" 'Parameter "root\.Orvane\.LogLevel" changed$' "third change"
processed=$(burst_log | grep 'Process changed params')
expect_eq "$(wc -l <<<"$processed")" 1 "Process lines for one burst"

gap=$(($(ms_of "$processed") - $(ms_of "$(tail -1 <<<"$changes")")))
echo "third change to Process line: ${gap} ms"
[ "$gap" -ge 450 ] || fail "applied ${gap} ms after the last change, before the burst settled"
[ "$gap" -lt 5000 ] || fail "applied ${gap} ms after the last change"

# LogLevel is now "error" in the store, but the running level stays: Info lines go on.
camera-sim-ctl set orvane.Enabled 1
second_burst() { [ "$(burst_log | grep -c 'Process changed params')" = 2 ]; }
wait_until 10 second_burst || fail "second burst not applied: $(burst_log)"
[ "$(burst_log | grep -c 'Parameter ".*" changed$')" = 4 ] || fail "fourth change not logged: $(burst_log)"

# PackageConfigurations: a new value brings the packages in line (the one named is not
# installed, which says so); the same value again changes nothing and reconciles nothing.
configurations='{"ghost":{"enabled": true}}'
for round in 3 4; do
  camera-sim-ctl set orvane.PackageConfigurations "$configurations"
  burst_done() { [ "$(burst_log | grep -c 'Process changed params')" = "$round" ]; }
  wait_until 10 burst_done || fail "PackageConfigurations change $round not applied: $(burst_log)"
done
[ "$(burst_log | grep -c 'Orvane - Package not found: ghost')" = 1 ] ||
  fail "expected one reconciliation for one new value: $(burst_log)"
kill -0 "$ORVANE_PID" || fail "Orvane ended"
pass
