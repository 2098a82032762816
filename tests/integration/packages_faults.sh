#!/usr/bin/env bash
# Faulty packages and configurations: Orvane keeps running, and status.cgi says why (timings shortened).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/packages_helpers.bash"
export ORVANE_TEST_TIMINGS=tick=1,short=5,crashes=3,delay=2,max=4,stable=30
in_sandbox --params "$(dirname "$0")/packages_node.params"

log=$ORVANE_LOG
alive() { kill -0 "$ORVANE_PID" || fail "Orvane ended: $(tail -30 "$log")"; }
install_package envpkg
install_package crashy
install_package flood
install_package segv
install_package liar
install_package lines
mkdir -p "${flash_root}nomain" "${flash_root}crashy/localdata"
cp "$test_packages/crashy/manifest.json" "${flash_root}nomain/"
mkdir -p "${flash_root}broken"
echo '[]' >"${flash_root}broken/manifest.json"
mkdir -p "${flash_root}nested"
head -c 200000 /dev/zero | tr '\0' '[' >"${flash_root}nested/manifest.json"

enable_packages '{"envpkg":{"enabled":true},"crashy":{"enabled":true},"flood":{"enabled":true},"broken":{"enabled":true},"nested":{"enabled":true},"segv":{"enabled":true},"nomain":{"enabled":true},"liar":{"enabled":true},"lines":{"enabled":true}}'
wait_for_log "$log" '\] envpkg: listening on' 9 || fail "envpkg not running: $(tail -30 "$log")"
# Packages start one after another in a tick: envpkg may be listening before the later ones
# were tried.
for name in broken nested; do
  wait_for_log "$log" "\[ Error   \] Invalid manifest file: ${flash_root}$name/manifest.json$" 5 ||
    fail "no invalid manifest line for $name: $(tail -30 "$log")"
done

# A package that ends at once is started again at every tick.
crashed_twice() { [ "$(count_lines "$log" '\] crashy: crashing now$')" -ge 2 ]; }
wait_until 12 crashed_twice || fail "crashy not restarted: $(tail -30 "$log")"
status_of() { package_api "status.cgi?package_name=$1" | jq -c "$2"; }
for name in broken nested; do
  expect_eq "$(status_of $name '[.state,.reason,.pid,.last_exit]')" '["cannot_start","invalid manifest.json",null,null]' "$name status"
done
expect_eq "$(status_of nomain '[.state,.reason]')" '["cannot_start","no main.js"]' "status without main.js"
segv_ended() { [ "$(status_of segv .last_exit.signal)" = '"SIGSEGV"' ]; }
wait_until 10 segv_ended || fail "no SIGSEGV exit: $(status_of segv .)"
expect_match "$(cat "$log")" '\[ Info    \] Package crashy: exited with code 3 after [0-9.]+ s$' "exit code logged"

# Three crashes in a row: the next start waits 2 s, then 4 s, and no longer; each step is
# said once. A settings set clears the count, so the loop starts over from 2 s.
crash_steps() { package_api 'log.cgi?package_name=crashy&limit=1000' | jq -r '.lines[] | select(.stream == "orvane") | .text' | grep -E "${1:-crash loop|still in}" || true; }
three_steps() { [ "$(crash_steps | wc -l)" -ge 3 ]; }
wait_until 30 three_steps || fail "no crash loop: $(crash_steps .)"
expect_eq "$(crash_steps | head -3)" "crash loop: 3 runs in a row ended within 5.0 s, next start in 2 s
still in a crash loop, next start in 4 s
still in a crash loop, next start in 4 s" "crash-loop steps"
[ "$(crash_steps | wc -l)" -le "$(crash_steps '^exited with code 3' | wc -l)" ] || fail "a step said more than once: $(crash_steps .)"
in_loop() { [ "$(status_of crashy .state)" = '"crash_loop"' ]; }
wait_until 10 in_loop || fail "crashy not shown in its crash loop: $(status_of crashy .)"
expect_match "$(status_of crashy '[.reason,.pid,.last_exit.code,.restarts>=3,.next_start_in_s<=4]')" '^\["[0-9]+ runs in a row ended within 5.0 s",null,3,true,true\]$' "crash-loop status"
expect_eq "$(curl -s --data '{}' 'http://127.0.0.1:22520/package/settings.cgi?package_name=crashy&action=set')" '{"status": 200, "message": "OK"}' "settings set"
looped_again() { [ "$(crash_steps '^crash loop: 3 runs' | wc -l)" -ge 2 ]; }
wait_until 20 looped_again || fail "the count was not cleared: $(crash_steps .)"

# A package flooding stdout without newlines leaves Orvane's memory bounded.
flood_pid=$(package_pid "$log" flood)
[ -n "$flood_pid" ] || fail "flood not running"
sleep 2
rss_kb=$(awk '/^VmRSS/ {print $2}' /proc/"$ORVANE_PID"/status)
echo "Orvane's resident memory with the flood running: ${rss_kb} KiB"
[ "$rss_kb" -lt 65536 ] || fail "Orvane grew to ${rss_kb} KiB"
expect_match "$(cat "$log")" "\] flood: x{4096}$" "first 4096 bytes of the endless line"
alive

# What a package prints reaches log.cgi as strict UTF-8 JSON and Orvane's log with its
# control characters escaped: no line can be forged, recoloured or broken.
wait_for_log "$log" '\] liar: manifest rewritten$' 9 || fail "liar did not run: $(tail -5 "$log")"
liar_log=$(package_api 'log.cgi?package_name=liar&limit=1000')
python3 -c 'import json, sys; json.loads(sys.stdin.buffer.read().decode("utf-8", "strict"))' <<<"$liar_log" ||
  fail "log.cgi is not strict UTF-8 JSON: $liar_log"
expect_eq "$(jq -r '.lines[] | select(.stream == "out") | .text' <<<"$liar_log" | sed -n 2p)" \
  "$(printf 'bad \xff\xc3(\xed\xa0\x80' | python3 -c 'import sys; print(sys.stdin.buffer.read().decode("utf-8", "replace"))')" \
  "bytes that are not UTF-8, each maximal bad sequence one U+FFFD"
grep -a 'liar: ' "$log" | grep -qP '[\x00-\x08\x0b-\x1f\x7f]' && fail "a raw control character of liar's in Orvane's log"
expect_match "$(cat "$log")" '\] liar: \\x1b\[31mred\\x1b\[0m$' "escaped terminal escapes"
expect_match "$(cat "$log")" '\] liar: innocent\\x0d2026-01-01 00:00:00.000 \[ Error   \] forged by liar$' "escaped carriage return"

# A manifest rewritten with garbage, or naming another package, gives an entry saying so;
# the answers stay valid and list every other package, and the package can be removed.
list_entries() { package_api list.cgi | jq -c "$1"; }
other_packages=$(ls "$flash_root" | grep -vcx liar)
expect_eq "$(list_entries '[.[] | select(.manifest == null)] | map([.name, .error]) | sort')" \
  '[["broken","invalid manifest.json"],["liar","invalid manifest.json"],["nested","invalid manifest.json"],["nomain","manifest.json names another package"]]' "broken entries"
expect_eq "$(list_entries 'length')" "$((other_packages + 1))" "entries listed beside a rewritten manifest"
echo '{"package_name":"crashy","package_menu_name":"spoof","package_version":"9","vendor":"x"}' >"${flash_root}liar/manifest.json"
expect_eq "$(list_entries '[.[] | select(.name == "liar") | .error]')" '["manifest.json names another package"]' "spoofing entry"
expect_eq "$(list_entries '[.[] | select(.manifest.package_name == "crashy")] | length')" 1 "crashy listed once"
expect_eq "$(package_api status.cgi | jq '.packages | length')" "$((other_packages + 1))" "status.cgi entries"
expect_eq "$(package_api 'remove.cgi?package_name=liar')" '{"status": 200, "message": "OK"}' "removal of the spoofing package"
expect_eq "$(list_entries '[.[] | select(.name == "liar")] | length')" 0 "liar gone"

# A package printing lines as fast as it can: Orvane reads a bounded number of bytes a
# second, copies a bounded number of lines a second into its own log and says how many it
# left out; the API stays quick.
last_line() { package_api 'log.cgi?package_name=lines&limit=1000' | jq -r '[.lines[] | select(.stream == "out")][-1].text' | cut -d' ' -f2; }
size_before=$(stat -c %s "$log")
line_before=$(last_line)
sleep 5
lines_per_second=$((($(last_line) - line_before) / 5))
# Each line is about 50 bytes: at most twice the budget counted in lines of 48.
echo "lines read a second from the flooding package: $lines_per_second"
[ "$lines_per_second" -lt $((2 * $(limit packageOutputBytesPerSecond) / 48)) ] || fail "read $lines_per_second lines a second"
growth=$(($(stat -c %s "$log") - size_before))
echo "Orvane's log grew by $growth bytes in 5 s with lines flooding"
[ "$growth" -lt 262144 ] || fail "Orvane's log grew by $growth bytes in 5 s"
expect_eq "$(curl -s -m 1 http://127.0.0.1:22520/api_check.cgi)" '{"status": 200, "message": "OK"}' "api_check during the flood"
wait_for_log "$log" '\[ Warning \] Package lines: [0-9]+ lines of output left out of this log' 12 || fail "no left-out line"

# Not JSON, an array, a string "enabled": the parse error leaves envpkg as it is; the
# invalid member unregisters and stops it.
env_pid=$(package_pid "$log" envpkg)
enable_packages '[]'
wait_for_log "$log" '\[ Error   \] Parse package configurations error. It is not valid JSON object.$' 5 ||
  fail "no parse error"
enable_packages '{"envpkg":'
two_parse_errors() { [ "$(count_lines "$log" 'Parse package configurations error')" -ge 2 ]; }
wait_until 5 two_parse_errors || fail "no second parse error"
# 400,000 "[", sent unencoded: the encoded form would break VAPIX's body limit.
nested=$(mktemp)
{ printf 'action=update&orvane.PackageConfigurations='; head -c 400000 /dev/zero | tr '\0' '['; } >"$nested"
expect_eq "$(vapix_curl /axis-cgi/param.cgi --data-binary "@$nested")" OK "VAPIX update of nested brackets"
three_parse_errors() { [ "$(count_lines "$log" 'Parse package configurations error')" -ge 3 ]; }
wait_until 5 three_parse_errors || fail "no parse error for nested brackets: $(tail -5 "$log")"
alive
kill -0 "$env_pid" || fail "envpkg stopped by an unparsable configuration"

enable_packages '{"envpkg":{"enabled":"true"},"ghost":{"enabled":true},"flood":{"enabled":true}}'
wait_for_log "$log" '\[ Error   \] Orvane - Invalid package configuration: envpkg$' 5 || fail "no invalid line"
wait_for_log "$log" '\[ Error   \] Orvane - Package not found: ghost$' 5 || fail "no not-found line"
envpkg_gone() { ! kill -0 "$env_pid" 2>/dev/null; }
wait_until 5 envpkg_gone || fail "envpkg not stopped"
# The cut of the flood is logged when it stops.
kill -0 "$flood_pid" || fail "flood stopped although still enabled"

# A running package removed from disk: killed, it is not found at the next ticks.
enable_packages '{"flood":{"enabled":true},"envpkg":{"enabled":true}}'
envpkg_back() { [ "$(count_lines "$log" '\] envpkg: listening on')" -ge 2 ]; }
wait_until 9 envpkg_back || fail "envpkg not back"
env_pid=$(package_pid "$log" envpkg)
rm -rf "${flash_root}envpkg"
kill -KILL "$env_pid"
wait_for_log "$log" "\[ Error   \] Read manifest error: No such file: ${flash_root}envpkg/manifest.json$" 9 ||
  fail "no manifest error for the removed package"
alive

enable_packages '{}'
flood_gone() { ! kill -0 "$flood_pid" 2>/dev/null; }
wait_until 5 flood_gone || fail "flood not stopped"
wait_for_log "$log" '\[ Warning \] flood: output line longer than 4096 bytes, [0-9]+ bytes of it cut$' 3 ||
  fail "no cut line for the flood"
alive
pass
