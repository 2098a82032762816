#!/usr/bin/env bash
# SIGTERM to Orvane stops its servers, then every package, before it exits with 0: one that
# ends on SIGTERM has its shutdown output logged and finds neither server accepting; one
# that ignores SIGTERM is killed after 1.5 s; each exit is logged with its code or signal.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/packages_helpers.bash"
in_sandbox --no-start --params "$(dirname "$0")/packages_node.params"

log=$(mktemp)
install_package graceful
install_package stubborn
camera-sim-ctl set orvane.PackageConfigurations '{"graceful":{"enabled":true},"stubborn":{"enabled":true}}'
orvane_start "$log" console

both_running() { [ -n "$(package_pid "$log" graceful)" ] && [ -n "$(package_pid "$log" stubborn)" ]; }
wait_until 15 both_running || { orvane_stop KILL; fail "packages not running: $(cat "$log")"; }
graceful_pid=$(package_pid "$log" graceful)
stubborn_pid=$(package_pid "$log" stubborn)
# Both were registered at start-up and started together at the first tick.
expect_eq "$(count_lines "$log" 'Start package: ')" 2 "package starts"

orvane_stop TERM
expect_eq "$orvane_status" 0 "Orvane's exit status"
! kill -0 "$graceful_pid" 2>/dev/null || fail "graceful still running"
! kill -0 "$stubborn_pid" 2>/dev/null || fail "stubborn still running"

sequence=$(grep -oE '(Caught termination signal!|Stop all packages|graceful: servers accepting at shutdown: .*|graceful: shutting down cleanly|graceful: cleanup finished|stubborn: ignoring SIGTERM|Could not stop package normally, process killed: .*|Package [a-z]+: exited .*|Exit)$' "$log" | sed -E 's/after [0-9]+\.[0-9] s/after N s/')
expected="Caught termination signal!
Stop all packages
graceful: servers accepting at shutdown: none
graceful: shutting down cleanly
graceful: cleanup finished
Package graceful: exited with code 0 after N s (stopped)
stubborn: ignoring SIGTERM
Could not stop package normally, process killed: stubborn
Package stubborn: exited by signal SIGKILL after N s (stopped)
Exit"
expect_eq "$sequence" "$expected" "termination sequence"
expect_match "$(cat "$log")" '\[ Error   \] graceful: cleanup finished$' "stderr during shutdown"
expect_match "$(cat "$log")" '\[ Error   \] Could not stop package normally, process killed: stubborn$' "kill line"
pass
