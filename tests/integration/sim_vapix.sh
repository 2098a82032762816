#!/usr/bin/env bash
# camera-sim as Orvane meets it: the credentials service, param.cgi with Basic and Digest
# authentication, list and update, the injected faults, and the parameter library
# stand-in reading values and receiving changes on the main thread.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
params=$top/tests/integration/sim_vapix.params
in_sandbox --no-start --no-node --params "$params"

work=$(mktemp -d)
probe=$build/sim/axparameter-probe
[ -x "$probe" ] || fail "$probe is not built"
port=$(vapix_port)
url=http://127.0.0.12:$port/axis-cgi/param.cgi

# GetCredentials on the system bus returns user:password for the account asked for.
reply=$(dbus-send --system --print-reply=literal --dest=com.axis.HTTPConf1 /com/axis/HTTPConf1/VAPIXServiceAccounts1 \
  com.axis.HTTPConf1.VAPIXServiceAccounts1.GetCredentials string:acap-orvane)
token=$(tr -d ' ' <<<"$reply")
expect_match "$token" '^acap-orvane:[0-9a-f]{24}$' "GetCredentials"

# Basic and Digest both list a group; names in any case, root. optional.
expected=$'root.Brand.Brand=AXIS\nroot.Brand.ProdFullName=AXIS P3265-LVE Dome Camera\nroot.Brand.ProdNbr=P3265-LVE\nroot.Brand.ProdShortName=AXIS P3265-LVE'
for scheme in --basic --digest; do
  body=$(curl -sf "$scheme" -u "$token" "$url?action=list&group=root.brand")
  expect_eq "$body" "$expected" "list with $scheme"
done
expect_eq "$(vapix_get orvane.LogLevel)" "root.Orvane.LogLevel=debug" "list of one parameter"
expect_eq "$(vapix_get Properties.System.SerialNumber)" "root.Properties.System.SerialNumber=SIM-0001" \
  "parameter from --params"

# A removed declaration is gone from the store and from VAPIX.
expect_eq "$(vapix_get Brand.ProdType)" "# Error: Error -1 getting param in group 'Brand.ProdType'" \
  "list of a removed parameter"
! camera-sim-ctl get Brand.ProdType 2>/dev/null || fail "Brand.ProdType is still declared"

# Wrong password, unknown account, no credentials: 401, with both challenges offered.
user=${token%%:*}
for credentials in "$user:wrong" "nobody:${token#*:}"; do
  for scheme in --basic --digest; do
    status=$(curl -s -o /dev/null -w '%{http_code}' "$scheme" -u "$credentials" "$url?action=list&group=Brand")
    expect_eq "$status" 401 "$scheme with $credentials"
  done
done
headers=$(curl -s -D - -o /dev/null "$url?action=list&group=Brand")
expect_match "$headers" '^HTTP/1.1 401' "no credentials"
expect_match "$headers" '^WWW-Authenticate: Digest ' "Digest challenge"
expect_match "$headers" '^WWW-Authenticate: Basic ' "Basic challenge"

# Updates by form body and by query string store, answer OK and reach the stand-in's
# callbacks, on the main thread, under the platform's spelling.
"$probe" orvane watch --thread 2 LogLevel Enabled >"$work/watch.out" 2>&1 &
watch_pid=$!
wait_until 10 grep -qs '^ready' "$work/watch.out" || fail "probe did not register: $(cat "$work/watch.out")"
expect_eq "$(vapix_set orvane.LogLevel 'info')" "OK" "update by form body"
expect_eq "$(curl -sf --digest -u "$token" "$url?action=update&root.orvane.enabled=0")" "OK" "update by query"
wait "$watch_pid" || fail "probe saw no changes: $(cat "$work/watch.out")"
expect_eq "$(tail -n +2 "$work/watch.out")" $'root.Orvane.LogLevel=info main\nroot.Orvane.Enabled=0 main' \
  "change callbacks"
expect_eq "$("$probe" orvane get LogLevel Enabled System.BoaPort)" $'info\n0\n'"$port" "values read by the stand-in"
expect_eq "$(camera-sim-ctl get ORVANE.LOGLEVEL)" info "stored value"

# Values with reserved characters survive the form encoding.
json='{"clockAnalog":{"enabled": true},"a&b":"c=d"}'
expect_eq "$(vapix_set orvane.PackageConfigurations "$json")" OK "update of a JSON value"
expect_eq "$(camera-sim-ctl get orvane.PackageConfigurations)" "$json" "stored JSON value"

# An update naming an unknown parameter answers an error and changes nothing at all.
before=$(camera-sim-ctl list)
body=$(curl -sf --digest -u "$token" --data 'action=update&orvane.LogLevel=trace&orvane.Nope=1' "$url")
expect_eq "$body" "# Error: Error setting 'orvane.Nope' to '1'!" "unknown parameter update"
expect_eq "$(camera-sim-ctl list)" "$before" "store after a refused update"
! "$probe" orvane get Nope 2>"$work/get.err" || fail "stand-in read an unknown parameter"
expect_match "$(cat "$work/get.err")" 'orvane.Nope' "stand-in error for an unknown parameter"

# Other paths, requests without an action and oversized bodies are refused, after
# authentication like everything else.
base=http://127.0.0.12:$port
expect_eq "$(curl -s -o /dev/null -w '%{http_code}' --digest -u "$token" "$base/axis-cgi/other.cgi")" 404 "other path"
expect_eq "$(curl -s -o /dev/null -w '%{http_code}' "$base/axis-cgi/other.cgi")" 401 "other path without credentials"
expect_eq "$(curl -s -o /dev/null -w '%{http_code}' --digest -u "$token" "$url?group=Brand")" 400 "no action"
head -c 1100000 /dev/zero | tr '\0' a >"$work/big"
expect_eq "$(curl -s -o /dev/null -w '%{http_code}' --basic -u "$token" --data-binary @"$work/big" "$url")" 413 \
  "oversized body"

# Injected failures: exactly COUNT requests answer STATUS, whatever their credentials.
camera-sim-ctl vapix-fail 500 2
for expected_status in 500 500 200; do
  vapix_get Brand.Brand >/dev/null
  expect_eq "$(vapix_status)" "$expected_status" "after vapix-fail 500 2"
done
camera-sim-ctl vapix-fail 401 1
expect_eq "$(curl -s -o /dev/null -w '%{http_code}' --basic -u "$token" "$url?action=list&group=Brand")" 401 \
  "injected 401"
expect_eq "$(curl -s -o /dev/null -w '%{http_code}' --basic -u "$token" "$url?action=list&group=Brand")" 200 \
  "after the injected 401"
! camera-sim-ctl vapix-fail 42 1 2>/dev/null || fail "vapix-fail accepted status 42"

# Renewed credentials: the old password gets 401, the new one works, also for the
# account asked for earlier.
renewed=$(camera-sim-ctl renew-credentials)
[ "${renewed#*:}" != "${token#*:}" ] || fail "renew-credentials kept the password"
expect_eq "$(curl -s -o /dev/null -w '%{http_code}' --digest -u "$token" "$url?action=list&group=Brand")" 401 \
  "old credentials"
expect_eq "$(curl -s -o /dev/null -w '%{http_code}' --digest -u "$user:${renewed#*:}" "$url?action=list&group=Brand")" \
  200 "renewed credentials"
expect_eq "$(vapix_credentials)" "$renewed" "credentials after renewal"

# A new System.BoaPort moves the web server.
camera-sim-ctl set System.BoaPort 8012
moved() { curl -sf --digest -u "$renewed" "http://127.0.0.12:8012/axis-cgi/param.cgi?action=list&group=System.BoaPort"; }
wait_until 5 moved >/dev/null || fail "VAPIX did not move to port 8012"
expect_eq "$(moved)" "root.System.BoaPort=8012" "list on the new port"

# A port that is taken leaves the web server where it was.
node -e "require('net').createServer().listen(8013, '127.0.0.12', () => console.log('listening'))" \
  >"$work/node.out" 2>&1 &
blocker=$!
wait_until 10 grep -qs listening "$work/node.out" || fail "no listener on port 8013: $(cat "$work/node.out")"
camera-sim-ctl set System.BoaPort 8013
wait_until 5 grep -q 'cannot listen on 127.0.0.12:8013' "$ORVANE_SANDBOX_DIR/camera-sim.log" ||
  fail "camera-sim did not try port 8013"
expect_eq "$(moved)" "root.System.BoaPort=8013" "list on the old port after a failed move"
kill "$blocker"
pass
