#!/usr/bin/env bash
# A start-up update of the Node.js runtime onto a missing SD card fails: Orvane exits with 1,
# the archive stays and the recorded location is emptied, so the next start goes on.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-start --no-sd --params "$(dirname "$0")/packages_node_sd.params"

log=$(mktemp)
orvane_start "$log" console
ended() { ! kill -0 "$orvane_pid" 2>/dev/null; }
wait_until 30 ended || { orvane_stop KILL; fail "Orvane did not end: $(cat "$log")"; }
orvane_stop
expect_eq "$orvane_status" 1 "exit status after the failed update"
expect_match "$(cat "$log")" '\[ Error   \] Startup NodeJS update error: SD card is not available$' "update error"
expect_match "$(cat "$log")" '\[ Error   \] Cannot install new NodeJS version$' "start-up failure"
expect_eq "$(camera-sim-ctl get orvane.NodejsLocation)" "" "recorded location"
[ -f "$orvane_app_dir/tools/node.gz" ] || fail "the archive was lost"

orvane_start "$log" console
api_ready() { curl -s -o /dev/null http://127.0.0.1:22520/api_check.cgi; }
wait_until 30 api_ready || { orvane_stop KILL; fail "second start failed: $(cat "$log")"; }
! grep -q 'Updating NodeJS' "$log" || fail "second start tried the update again"
orvane_stop
expect_eq "$orvane_status" 0 "exit status of the second run"
pass
