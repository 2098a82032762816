#!/usr/bin/env bash
# The runtime's installation on a camera without an SD card, and a runtime that got lost.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-sd
source "$(dirname "$0")/http_helpers.bash"

tools=$orvane_app_dir/tools
diagnostics_say() { request "$api/diagnostics.cgi" && [ "$body" = "{\"node_state\":\"$1\"}" ]; }

request "$api/node_update.cgi?storage=SD_DISK"
expect_answer 500 "$(json_status 500 'NodeJS update: SD card is not available')" "update onto a missing SD card"
[ -f "$tools/node.gz" ] || fail "a failed update lost the archive"
expect_eq "$(camera-sim-ctl get orvane.NodejsLocation)" "" "location after the failure"
request "$api/diagnostics.cgi"
expect_answer 200 '{"node_state":"NOT_INSTALLED"}' "diagnostics after the failure"

request "$api/node_update.cgi?storage=FLASH"
expect_answer 200 "$(json_status 200 OK)" "update on FLASH after the failure"
wait_until 10 diagnostics_say OK || fail "diagnostics after the update: $body"

# A recorded location whose runtime is gone, with no archive to install from.
rm "$tools/node"
request "$api/diagnostics.cgi"
expect_answer 200 '{"node_state":"NOT_FOUND"}' "runtime lost"
request "$api/report.cgi"
expect_eq "$(sed -n 4p "$work/body")" "NodeJS state: NOT_FOUND" "report of a lost runtime"
request "$api/node_update.cgi?storage=FLASH"
expect_answer 406 "$(json_status 406 'Already decompressed!')" "update without an archive"
# A new archive makes the state OK again while the location stays recorded.
gzip -c /bin/true >"$tools/node.gz"
request "$api/diagnostics.cgi"
expect_answer 200 '{"node_state":"OK"}' "archive back, location recorded"
pass
