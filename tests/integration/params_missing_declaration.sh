#!/usr/bin/env bash
# A camera on which the LogLevel parameter was never declared: start-up stops at that
# name with status 1, before any server is started.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-start --no-node --params "$top/tests/integration/params_no_loglevel.params"

log=$(mktemp)
orvane_start "$log" console
wait_until 20 bash -c "! kill -0 $orvane_pid 2>/dev/null" || { orvane_stop KILL; fail "Orvane did not end"; }
orvane_status=0
wait "$orvane_pid" || orvane_status=$?
expect_eq "$orvane_status" 1 "exit status"
expect_eq "$(tail -1 "$log" | sed 's/^.* \] //')" "Invalid parameter: LogLevel" "last log line"
expect_match "$(cat "$log")" '\[ Error   \] Unable to get parameter "LogLevel":.+' "the read failure"
[ "$(grep -c '\[ Error   \]' "$log")" = 2 ] || fail "other errors: $(cat "$log")"
# The parameters before it were registered; nothing of the servers appeared.
! grep -qi 'server\|websocket\|listen' "$log" || fail "a server was started: $(cat "$log")"
expect_eq "$(camera-sim-ctl get orvane.Version)" 3.1.10 "Version written before the registration"
pass
