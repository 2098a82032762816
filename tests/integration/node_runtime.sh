#!/usr/bin/env bash
# The Node.js runtime over a camera's life: start-up and API updates, diagnostics, a lost runtime, an SD card.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-start --no-sd --params "$(dirname "$0")/packages_node_sd.params"
source "$(dirname "$0")/http_helpers.bash"

tools=$orvane_app_dir/tools
sd_app=/var/spool/storage/SD_DISK/orvane
log=$work/orvane.log
diagnostics_say() { request "$api/diagnostics.cgi" && [ "$body" = "{\"node_state\":\"$1\"}" ]; }
cp "$tools/node.gz" "$work/node.gz"

# A runtime recorded on the missing SD card: start-up ends with 1, the location emptied, the archive kept.
orvane_start "$log" console
ended() { ! kill -0 "$orvane_pid" 2>/dev/null; }
wait_until 30 ended || { orvane_stop KILL; fail "Orvane did not end: $(cat "$log")"; }
orvane_stop
expect_eq "$orvane_status" 1 "exit status after the failed update"
expect_match "$(cat "$log")" '\[ Error   \] Startup NodeJS update error: SD card is not available$' "update error"
expect_match "$(cat "$log")" '\[ Error   \] Cannot install new NodeJS version$' "start-up failure"
expect_eq "$(camera-sim-ctl get orvane.NodejsLocation)" "" "recorded location"
[ -f "$tools/node.gz" ] || fail "the archive was lost"
orvane_start "$log" console
wait_until 30 curl -s -o /dev/null "$api/api_check.cgi" || { orvane_stop KILL; fail "second start failed: $(cat "$log")"; }
! grep -q 'Updating NodeJS' "$log" || fail "second start tried the update again"

request "$api/diagnostics.cgi"
expect_answer 200 '{"node_state":"NOT_INSTALLED"}' "diagnostics before the update"
request "$api/node_update.cgi?storage=SD_DISK"
expect_answer 500 "$(json_status 500 'NodeJS update: SD card is not available')" "update onto a missing SD card"
[ -f "$tools/node.gz" ] || fail "a failed update lost the archive"
expect_eq "$(camera-sim-ctl get orvane.NodejsLocation)" "" "location after the failure"

# Renewed camera credentials: recording the location gets a 401, fetches the new ones, goes on.
camera-sim-ctl renew-credentials >/dev/null
request "$api/node_update.cgi?storage=FLASH"
expect_answer 200 "$(json_status 200 OK)" "update on FLASH after the failure and a renewal"
grep -q 'Unpacking NodeJS' "$log" || fail "the update was not logged"
[ ! -e "$tools/node.gz" ] || fail "the archive is still there"
expect_eq "$(stat -c %a "$tools/node")" 755 "mode of the runtime"
expect_eq "$(camera-sim-ctl get orvane.NodejsLocation)" "$tools/" "recorded location"
wait_until 10 diagnostics_say OK || fail "diagnostics after the update: $body"
request "$api/node_update.cgi?storage=FLASH"
expect_answer 406 "$(json_status 406 'Already decompressed!')" "second update"

rm "$tools/node"
request "$api/diagnostics.cgi"
expect_answer 200 '{"node_state":"NOT_FOUND"}' "runtime lost"
request "$api/node_update.cgi?storage=FLASH"
expect_answer 406 "$(json_status 406 'Already decompressed!')" "update without an archive"
gzip -c /bin/true >"$tools/node.gz"
request "$api/diagnostics.cgi"
expect_answer 200 '{"node_state":"OK"}' "archive back, location recorded"

# With an SD card and no location recorded, of two updates at once one unpacks onto the card.
mkdir /var/spool/storage/SD_DISK
cp "$work/node.gz" "$tools/node.gz"
camera-sim-ctl set orvane.NodejsLocation ""
wait_until 10 diagnostics_say NOT_INSTALLED || fail "diagnostics with the location emptied: $body"
updates=()
for i in 1 2; do
  curl -sS -o "$work/update$i" -w '%{http_code}' "$api/node_update.cgi" >"$work/status$i" &
  updates+=($!)
done
wait "${updates[@]}"
expect_eq "$(for i in 1 2; do echo "$(cat "$work/status$i") $(cat "$work/update$i")"; done | sort)" \
  "200 $(json_status 200 OK)"$'\n'"406 $(json_status 406 'Already decompressed!')" "two updates at once"
[ ! -e "$tools/node" ] || fail "the runtime went to FLASH"
[ ! -e "$tools/node.gz" ] || fail "the archive is still there"
expect_eq "$(stat -c %a "$sd_app/node")" 755 "mode of the runtime"
expect_eq "$("$sd_app/node" -e 'console.log(6 * 7)')" 42 "the unpacked runtime runs"
expect_eq "$(camera-sim-ctl get orvane.NodejsLocation)" "$sd_app/" "recorded location"
wait_until 10 diagnostics_say OK || fail "diagnostics after the update: $body"
request "$api/node_update.cgi?storage=FLASH"
expect_answer 406 "$(json_status 406 'Already decompressed!')" "an update after the SD one"
[ ! -e "$tools/node" ] || fail "a refused update wrote onto FLASH"
orvane_stop
expect_eq "$orvane_status" 0 "exit status of the second run"
pass
