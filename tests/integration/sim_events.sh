#!/usr/bin/env bash
# The event library against camera-sim's event service, driven by axevent-probe inside
# the sandbox: completions on the main thread after the configured delay (or never),
# every operation recorded with its keys and values, refusals returned as errors.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

probe=$build/sim/axevent-probe
[ -x "$probe" ] || fail "$probe is not built"
if [ -z "${ORVANE_SANDBOX:-}" ]; then
  ORVANE_BUILD_DIR=$build exec "$top/scripts/sandbox" --no-node -- "$0"
fi

# records_after N: the recorded operations after the first N, one JSON object a line.
records_after() { camera-sim-ctl events | tail -n +"$(($1 + 1))"; }
record_count() { camera-sim-ctl events | wc -l; }

# A declaration from a worker thread, completed on the main thread, an event, a withdrawal.
out=$("$probe" flow) || fail "flow: $out"
expect_eq "$(sed -n 1p <<<"$out")" "early send refused: declaration 1 is not complete yet" "send before completion"
records=$(camera-sim-ctl events)
expect_eq "$(jq -r .op <<<"$records" | paste -sd' ')" "declare complete send release undeclare release" \
  "recorded operations"
expect_eq "$(jq -c 'select(.op == "declare") | [.declaration, .stateless, .delay_ms]' <<<"$records")" \
  "[1,false,50]" "declaration"
expect_eq "$(jq -c 'select(.op == "declare") | .keys' <<<"$records")" \
  '[{"key":"Port","namespace":"tns1","type":"INT","value":1,"key_nice_name":"Port","value_nice_name":null,"mark":"source"},{"key":"Active","namespace":"tnsaxis","type":"BOOL","value":true,"key_nice_name":"Active","value_nice_name":"Yes","mark":"data"},{"key":"Level","namespace":null,"type":"DOUBLE","value":0.25,"key_nice_name":null,"value_nice_name":null,"mark":null},{"key":"Label","namespace":"tnsaxis","type":"STRING","value":"a \"quoted\" \\ label","key_nice_name":null,"value_nice_name":"Label value","mark":null}]' \
  "declared keys"
expect_eq "$(jq -c 'select(.op == "send") | [.declaration, .time_stamp, .keys]' <<<"$records")" \
  '[1,"2026-01-02T03:04:05Z",[{"key":"Port","namespace":"tns1","type":"INT","value":8,"key_nice_name":null,"value_nice_name":null,"mark":null},{"key":"Label","namespace":"tnsaxis","type":"STRING","value":"line\nbreak","key_nice_name":null,"value_nice_name":null,"mark":null}]]' \
  "sent event"
expect_eq "$(jq -c 'select(.op == "undeclare") | .declaration' <<<"$records")" "1" "withdrawal"

# A configured delay holds the completion back; a negative one withholds it, and freeing
# the handler withdraws the declaration still waiting.
camera-sim-ctl event-delay 400
before=$(record_count)
expect_eq "$("$probe" timing 200 10000)" "completed" "completion after 400 ms"
expect_eq "$(records_after "$before" | jq -c 'select(.op != "release") | [.op, .delay_ms]' | paste -sd' ')" \
  '["declare",400] ["complete",null]' "delayed declaration"
camera-sim-ctl event-delay -1
before=$(record_count)
expect_eq "$("$probe" timing 100 1000)" "never" "declaration that never completes"
never=$(records_after "$before")
expect_eq "$(jq -r .op <<<"$never" | paste -sd' ')" "declare release" "operations of a pending declaration"
expect_eq "$(jq -c 'select(.op == "release") | .declarations' <<<"$never")" \
  "[$(jq 'select(.op == "declare") | .declaration' <<<"$never")]" "pending declaration dropped with its handler"
camera-sim-ctl event-delay x 2>/dev/null && fail "a delay that is not a number was accepted"

# Declarations from several threads at once each complete exactly once, on the main thread.
camera-sim-ctl event-delay 0
before=$(record_count)
expect_eq "$("$probe" concurrent 4 25)" "100 declarations completed once each" "concurrent declarations"
expect_eq "$(records_after "$before" | jq -r 'select(.op == "complete") | .declaration' | sort -u | wc -l)" \
  "100" "recorded completions"
camera-sim-ctl event-delay 50

# A client that leaves the bus without freeing its handler leaves nothing declared.
number=$("$probe" abandon) || fail "abandon: $number"
deadline=$(($(date +%s) + 10))
until camera-sim-ctl events | jq -e "select(.op == \"release\" and .reason == \"client gone\") |
    select(.declarations == [$number])" >/dev/null; do
  [ "$(date +%s)" -lt "$deadline" ] || fail "declaration $number outlived its client"
  sleep 0.1
done

# Each refusal fails its own call with the event system's message and records nothing.
declare -A message=(
  [key]='key "Key" refused by the event system'
  [nicenames]='nice names of key "Key" refused by the event system'
  [mark]='mark of key "Key" refused by the event system'
  [declare]='declaration refused by the event system'
  [send]='event refused by the event system'
  [undeclare]='undeclaration refused by the event system'
)
for what in key nicenames mark declare send undeclare; do
  camera-sim-ctl event-refuse "$what" on
  before=$(record_count)
  expect_eq "$("$probe" refusal "$what")" "$what: ${message[$what]}" "refused $what"
  recorded=$(records_after "$before" | jq -r .op | paste -sd' ')
  case $what in
    key | nicenames | mark | declare) expect_eq "$recorded" "release" "operations around a refused $what" ;;
    send) expect_eq "$recorded" "declare complete release" "operations around a refused send" ;;
    undeclare) expect_eq "$recorded" "declare complete send release" "operations around a refused undeclare" ;;
  esac
  camera-sim-ctl event-refuse "$what" off
done
camera-sim-ctl event-refuse-with key 'odd "text" \ here'
expect_eq "$("$probe" refusal key)" 'key: odd "text" \ here' "refusal with a given text"
camera-sim-ctl event-refuse key off
"$probe" refusal key >/dev/null 2>&1 && fail "a refusal outlived event-refuse off"
camera-sim-ctl event-refuse bogus on 2>/dev/null && fail "an unknown operation was accepted"
pass
