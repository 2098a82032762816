#!/usr/bin/env bash
# A package's life under Orvane (environment, output, restart, removal, re-install, disabling,
# status.cgi and log.cgi), then Orvane's termination with packages running.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/packages_helpers.bash"
in_sandbox --params "$(dirname "$0")/packages_node.params"

log=$ORVANE_LOG
expect_match "$(cat "$log")" '\[ Info    \] NodeJS update successfully finished$' "start-up update"
[ -x "$orvane_app_dir/tools/node" ] || fail "no Node.js executable after the update"
expect_eq "$(stat -c %a "$orvane_app_dir/tools/node")" 755 "mode of the Node.js executable"
[ ! -e "$orvane_app_dir/tools/node.gz" ] || fail "the archive is still there"

thread_count() { ls /proc/"$ORVANE_PID"/task | wc -l; }
threads_idle=$(thread_count)
install_package envpkg
install_package chatty
enable_packages '{"envpkg":{"enabled":true},"chatty":{"enabled":true}}'
wait_for_log "$log" '\] envpkg: listening on 22522$' 9 || fail "envpkg not running: $(cat "$log")"
expect_match "$(cat "$log")" '\[ Info    \] Start package: envpkg$' "start line"

env_lines=$(grep -oE '\[ Info    \] envpkg: env .*' "$log" | sed 's/.*envpkg: env //')
expected="ACAP_NAME=orvane
HTTP_PORT=22522
HTTP_PORT_PUBLIC=22523
INSTALL_PATH=./
LD_LIBRARY_PATH=/usr/local/packages/orvane/lib32/
PACKAGE_NAME=envpkg
PERSISTENT_DATA_PATH=./localdata/"
expect_eq "$env_lines" "$expected" "package environment"
expect_match "$(cat "$log")" "\] envpkg: cwd ${flash_root}envpkg$" "working directory"
expect_match "$(cat "$log")" '\] envpkg: argv \["node","--use-openssl-ca","main.js"\]$' "arguments"
expect_match "$(cat "$log")" '\[ Error   \] envpkg: a line on stderr$' "stderr line"
expect_eq "$(curl -s http://127.0.0.1:22522/)" "hello from envpkg" "answer on HTTP_PORT"

first_pid=$(package_pid "$log" envpkg)
expect_eq "$(package_api status.cgi | jq -c '[.packages[].name]')" "$(package_api list.cgi | jq -c '[.[].manifest.package_name]')" "status order"
status_of() { package_api "status.cgi?package_name=$1" | jq -c "$2"; }
expect_eq "$(status_of envpkg '[.storage,.enabled,.state,.pid,.http_port,.http_port_public,.restarts,.last_exit,.rss_kib>1000,.cpu_ms>=0,.started_at>1e12,.uptime_s>=0,.next_start_in_s]')" \
  "[\"FLASH\",true,\"running\",$first_pid,22522,22523,0,null,true,true,true,true,null]" "status of the running package"
expect_eq "$(curl -s -w ' %{http_code}' 'http://127.0.0.1:22520/package/log.cgi?package_name=nothing')" \
  '{"status": 404, "message": "Http API: package does not exist"} 404' "log of an unknown package"
# log.cgi: a ring that lost its oldest lines says how many.
expect_match "$(package_api 'log.cgi?package_name=envpkg&limit=1' | jq -r '.lines[] | .stream + " " + .text')" "^orvane started, pid $first_pid, ports 22522 and 22523$" "start line"
expect_eq "$(package_api 'log.cgi?package_name=envpkg&after=1&limit=1000' | jq -c '[.lines[] | select(.stream == "err") | .text]')" '["a line on stderr"]' "stderr in the log"
# More lines at once than Orvane copies into its own log: its own log has them all.
chatty_done() { [ "$(package_api 'log.cgi?package_name=chatty&limit=1000' | jq -r '.lines[-1].text')" = done ]; }
wait_until 9 chatty_done || fail "chatty did not finish: $(package_api 'log.cgi?package_name=chatty&limit=2')"
[ "$(count_lines "$log" '\] chatty: filler')" -lt 1000 ] || fail "chatty's 1,500 lines at once all copied into Orvane's log"
# Running packages add no thread of Orvane's (one more is a request's connection winding down).
few_threads() { [ "$(thread_count)" -le $((threads_idle + 1)) ]; }
wait_until 3 few_threads || fail "$(thread_count) threads with 2 packages running, $threads_idle with none"
page=$(package_api 'log.cgi?package_name=chatty&limit=3')
dropped=$(jq .dropped <<<"$page")
[ "$dropped" -gt 0 ] || fail "no dropped lines: $page"
expect_eq "$(jq -c '[.lines[].seq, .next]' <<<"$page")" "[$((dropped + 1)),$((dropped + 2)),$((dropped + 3)),$((dropped + 3))]" "sequence of the first page"
expect_match "$(jq -r '.lines[0].text' <<<"$page")" "^filler $dropped \\.+$" "oldest line kept"
expect_eq "$(package_api "log.cgi?package_name=chatty&after=$((dropped + 3))&limit=1000" | jq -c '[.dropped, .lines[-1].text, .lines[0].seq]')" "[0,\"done\",$((dropped + 4))]" "the rest"

kill -KILL "$first_pid"
restarted() { [ "$(count_lines "$log" '\] envpkg: listening on 22522$')" -ge 2 ]; }
wait_until 7 restarted || fail "envpkg did not run again: $(tail -20 "$log")"
second_pid=$(package_pid "$log" envpkg)
[ "$second_pid" != "$first_pid" ] || fail "same process id after the restart"
kill -0 "$second_pid" || fail "the restarted package is not running"
expect_eq "$(status_of envpkg '[.state,.pid,.restarts,.last_exit.signal,.last_exit.at>1e12]')" "[\"running\",$second_pid,1,\"SIGKILL\",true]" "status after the restart"
expect_match "$(cat "$log")" '\[ Info    \] Package envpkg: exited by signal SIGKILL after [0-9]+\.[0-9] s$' "exit line"

expect_eq "$(curl -sS "http://127.0.0.1:22520/package/remove.cgi?package_name=envpkg")" \
  '{"status": 200, "message": "OK"}' "removal"
! kill -0 "$second_pid" 2>/dev/null || fail "envpkg still running after its removal"
sleep 2.5 # two ticks
expect_eq "$(count_lines "$log" 'Start package: envpkg$')" 2 "starts tried after the removal"
expect_eq "$(count_lines "$log" 'Read manifest error')" 0 "manifest errors after the removal"

# Installed again it runs, still enabled, from FLASH, then from the SD card it is moved to.
zip_dir=$(mktemp -d)
(cd "$test_packages/envpkg" && zip -qr "$zip_dir/envpkg.zip" .)
sd_root=/var/spool/storage/SD_DISK/orvane/packages/
for storage in FLASH ""; do
  root=$([ -n "$storage" ] && echo "$flash_root" || echo "$sd_root")
  runs=$(count_lines "$log" "\] envpkg: cwd ${root}envpkg$")
  expect_eq "$(curl -sS -F "file0=@$zip_dir/envpkg.zip" "http://127.0.0.1:22520/package/install.cgi?storage=$storage")" \
    '{"status": 200, "message": "OK"}' "install on '$storage'"
  ran_again() { [ "$(count_lines "$log" "\] envpkg: cwd ${root}envpkg$")" -gt "$runs" ]; }
  wait_until 9 ran_again || fail "envpkg not running from $root: $(tail -20 "$log")"
done
expect_eq "$(count_lines "$log" 'Read manifest error')" 0 "manifest errors after the installs"
third_pid=$(package_pid "$log" envpkg)

runs=$(count_lines "$log" '\] envpkg: listening on')
enable_packages '{"envpkg":{"enabled":false}}'
gone() { ! kill -0 "$third_pid" 2>/dev/null; }
wait_until 5 gone || fail "envpkg still running after it was disabled"
expect_eq "$(status_of envpkg '[.enabled,.state,.pid,.http_port,.rss_kib]')" '[false,"stopped",null,null,null]' "status when disabled"
sleep 2.5 # two ticks
expect_eq "$(count_lines "$log" '\] envpkg: listening on')" "$runs" "runs after disabling"
kill -0 "$ORVANE_PID" || fail "Orvane ended"

# SIGTERM stops the servers, then every package (killing one that ignores it), then exits 0.
kill -TERM "$ORVANE_PID"
ended() { ! kill -0 "$ORVANE_PID" 2>/dev/null; }
wait_until 10 ended || fail "Orvane did not end on SIGTERM"
log=$(mktemp)
install_package graceful
install_package stubborn
camera-sim-ctl set orvane.PackageConfigurations '{"graceful":{"enabled":true},"stubborn":{"enabled":true}}'
orvane_start "$log" console

both_running() { [ -n "$(package_pid "$log" graceful)" ] && [ -n "$(package_pid "$log" stubborn)" ]; }
wait_until 15 both_running || { orvane_stop KILL; fail "packages not running: $(cat "$log")"; }
graceful_pid=$(package_pid "$log" graceful)
stubborn_pid=$(package_pid "$log" stubborn)
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
