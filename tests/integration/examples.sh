#!/usr/bin/env bash
# The example packages as a user meets them: installed, enabled, used, events sent.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox
source "$(dirname "$0")/http_helpers.bash"
node "$top/tests/integration/examples/wsclient.js" || fail "the examples' WebSocket client against npm ws"

zips=$build/examples
for name in hello_counter event_pulse; do
  [ -s "$zips/$name.zip" ] || fail "$zips/$name.zip is not built (target examples)"
done

request "$api/node_update.cgi?storage=FLASH"
expect_answer 200 "$(json_status 200 OK)" "node update"
install "storage=FLASH" "$zips/hello_counter.zip" "$zips/event_pulse.zip"
expect_answer 200 "$(json_status 200 OK)" "install of both examples"
vapix_set orvane.PackageConfigurations '{"hello_counter":{"enabled":true},"event_pulse":{"enabled":true}}' >/dev/null
expect_eq "$(vapix_status)" 200 "enabling through VAPIX"

counter() { curl -sf "$api/proxy/hello_counter/api/counter"; }
wait_until 40 counter >/dev/null || fail "hello_counter did not answer: $(tail -20 "$ORVANE_LOG")"

# The page, through Orvane's UI route, points at the API through the proxy.
page=$(curl -sS -D "$work/headers" "$api/package/hello_counter/index.html")
expect_match "$(cat "$work/headers")" '^Content-Type: text/html' "page content type"
expect_match "$page" "proxy/hello_counter/api/counter" "page calls the API"

expect_eq "$(counter)" '{"count":0,"greeting":"Hello from Orvane"}' "fresh counter"
add() { curl -sS -H 'Content-Type: application/json' --data "$1" "$api/proxy/hello_counter/api/counter"; }
add '{"add":1}' >/dev/null
expect_eq "$(add '{"add":41}')" '{"count":42,"greeting":"Hello from Orvane"}' "counter after two additions"
request -H 'Content-Type: application/json' --data '{"add":"x"}' "$api/proxy/hello_counter/api/counter"
expect_eq "$status" 400 "a bad increment"
expect_eq "$(jq -c . "$flash_root/hello_counter/localdata/counter.json")" '{"count":42}' "stored counter"

# event_pulse declares its event, sends it with a growing count, and withdraws it on stop.
events() { camera-sim-ctl events; }
sent_twice() { [ "$(events | jq -s '[.[] | select(.op == "send")] | length')" -ge 2 ]; }
wait_until 30 sent_twice || fail "events: $(events); log: $(tail -20 "$ORVANE_LOG")"
declaration=$(events | jq -s -c '[.[] | select(.op == "declare")] | last')
expect_eq "$(jq -c '.stateless' <<<"$declaration")" true "stateless declaration"
expect_eq "$(jq -c '[.keys[] | [.key, .type, .mark]]' <<<"$declaration")" \
  '[["Package","STRING","source"],["Count","INT","data"]]' "declared keys"
number=$(jq .declaration <<<"$declaration")
expect_eq "$(events | jq -s -c "[.[] | select(.op == \"send\" and .declaration == $number) | .keys[1].value] | .[0:2]")" \
  "[1,2]" "counts of the first two events"
status_json=$(curl -sS "$api/proxy/event_pulse/api/status")
expect_eq "$(jq -c '[.connected, .declared]' <<<"$status_json")" "[true,true]" "event_pulse status"

vapix_set orvane.PackageConfigurations '{"hello_counter":{"enabled":true}}' >/dev/null
withdrawn() { events | jq -s -e "any(.[]; .op == \"undeclare\" and .declaration == $number)" >/dev/null; }
wait_until 15 withdrawn || fail "the declaration was not withdrawn: $(events | tail -5)"
# The answer reaches the package, and its line Orvane's log, after the service saw the withdrawal.
withdrawal_answered() { grep -q 'event_pulse: event withdrawn: OK' "$ORVANE_LOG"; }
wait_until 10 withdrawal_answered || fail "withdrawal not answered: $(tail -5 "$ORVANE_LOG")"
! grep -q 'Could not stop package normally, process killed: event_pulse' "$ORVANE_LOG" ||
  fail "event_pulse needed SIGKILL"
pass
