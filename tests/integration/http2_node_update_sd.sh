#!/usr/bin/env bash
# Two installations of the Node.js runtime at once, without a storage argument: one unpacks
# onto the SD card, the other waits for it and is refused.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox
source "$(dirname "$0")/http_helpers.bash"

sd_app=/var/spool/storage/SD_DISK/orvane
request "$api/diagnostics.cgi"
expect_answer 200 '{"node_state":"NOT_INSTALLED"}' "diagnostics before the update"

for i in 1 2; do
  curl -sS -o "$work/update$i" -w '%{http_code}' "$api/node_update.cgi" >"$work/status$i" &
done
wait
statuses=$(printf "%s\n" "$(cat "$work/status1")" "$(cat "$work/status2")" | sort | tr "\n" " ")
expect_eq "$statuses" "200 406 " "statuses of two updates at once"
for i in 1 2; do
  case $(cat "$work/status$i") in
    200) expect_eq "$(cat "$work/update$i")" "$(json_status 200 OK)" "the update that ran" ;;
    406) expect_eq "$(cat "$work/update$i")" "$(json_status 406 'Already decompressed!')" "the refused update" ;;
  esac
done

[ ! -e "$orvane_app_dir/tools/node" ] || fail "the runtime went to FLASH"
[ ! -e "$orvane_app_dir/tools/node.gz" ] || fail "the archive is still there"
expect_eq "$(stat -c %a "$sd_app/node")" 755 "mode of the runtime"
expect_eq "$("$sd_app/node" -e 'console.log(6 * 7)')" 42 "the unpacked runtime runs"
expect_eq "$(camera-sim-ctl get orvane.NodejsLocation)" "$sd_app/" "recorded location"
diagnostics_ok() { request "$api/diagnostics.cgi" && [ "$body" = '{"node_state":"OK"}' ]; }
wait_until 10 diagnostics_ok || fail "diagnostics after the update: $body"
pass
