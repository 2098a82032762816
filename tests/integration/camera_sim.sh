#!/usr/bin/env bash
# A smoke test of what the other tests take from camera-sim without noticing when it breaks.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-start --no-node

work=$(mktemp -d)
params_probe=$build/sim/axparameter-probe events_probe=$build/sim/axevent-probe
url=http://127.0.0.12:$(vapix_port)/axis-cgi/param.cgi
# status CURL-ARGS...: the HTTP status of a list request.
status() { curl -s -o /dev/null -w '%{http_code}' "$@" "$url?action=list&group=Brand"; }

# The credentials service answers for the account asked for; both schemes accept them
# and nothing else.
token=$(dbus-send --system --print-reply=literal --dest=com.axis.HTTPConf1 /com/axis/HTTPConf1/VAPIXServiceAccounts1 \
  com.axis.HTTPConf1.VAPIXServiceAccounts1.GetCredentials string:acap-orvane | tr -d ' ')
expect_match "$token" '^acap-orvane:[0-9a-f]{24}$' "GetCredentials"
user=${token%%:*}
for scheme in --basic --digest; do
  expect_eq "$(status "$scheme" -u "$token")" 200 "$scheme with the issued credentials"
  expect_eq "$(status "$scheme" -u "$user:wrong")$(status "$scheme" -u "nobody:${token#*:}")" 401401 \
    "$scheme with a wrong password or account"
done
expect_eq "$(status)" 401 "no credentials"
renewed=$(camera-sim-ctl renew-credentials)
expect_eq "$(status --digest -u "$token")$(status --digest -u "$user:${renewed#*:}")" 401200 "renewed credentials"

# Updates reach the parameter stand-in's callbacks on the main thread; one naming an
# unknown parameter answers an error and changes nothing at all.
"$params_probe" orvane watch --thread 1 LogLevel >"$work/watch.out" 2>&1 &
watch_pid=$!
wait_until 10 grep -qs '^ready' "$work/watch.out" || fail "probe did not register: $(cat "$work/watch.out")"
expect_eq "$(vapix_set orvane.LogLevel info)" OK "update"
wait "$watch_pid" || fail "probe saw no change: $(cat "$work/watch.out")"
expect_eq "$(tail -n +2 "$work/watch.out")" "root.Orvane.LogLevel=info main" "change callback"
before=$(camera-sim-ctl list)
body=$(curl -sf --digest -u "$renewed" --data 'action=update&orvane.LogLevel=trace&orvane.Nope=1' "$url")
expect_eq "$body" "# Error: Error setting 'orvane.Nope' to '1'!" "unknown parameter update"
expect_eq "$(camera-sim-ctl list)" "$before" "store after a refused update"

# Exactly COUNT requests answer the injected status, whatever their credentials.
camera-sim-ctl vapix-fail 500 2
expect_eq "$(status --digest -u "$renewed")$(status)$(status --digest -u "$renewed")" 500500200 "vapix-fail 500 2"

# A send before the completion is refused, and a client that leaves the bus leaves nothing
# declared. (Withheld completions and refusals are met through Orvane by ws/protocol.js.)
expect_eq "$("$events_probe" flow | head -1)" "early send refused: declaration 1 is not complete yet" "early send"
number=$("$events_probe" abandon) || fail "abandon: $number"
released() {
  camera-sim-ctl events | jq -e "select(.op == \"release\" and .reason == \"client gone\" and .declarations == [$number])"
}
wait_until 10 released >/dev/null || fail "declaration $number outlived its client"
pass
