#!/usr/bin/env bash
# A running package gets SIGINT when its settings change, and is stopped by its removal.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
# A runtime location recorded before start-up makes Orvane unpack the shipped Node.js there.
params=$build/http_settings_signal.params
[ -n "${ORVANE_SANDBOX:-}" ] || echo "orvane.NodejsLocation=/usr/local/packages/orvane/tools/" >"$params"
in_sandbox --params "$params"
source "$(dirname "$0")/http_helpers.bash"

settings="$api/package/settings.cgi"
remove="$api/package/remove.cgi"
cat >"$work/main.js" <<'JS'
const fs = require('fs');
process.on('SIGINT', () => fs.appendFileSync('localdata/signals.txt', 'SIGINT\n'));
fs.writeFileSync('localdata/started.txt', String(process.pid));
setInterval(() => {}, 1000);
JS
make_package runner "" "$(cat "$work/main.js")"
install "storage=SD_DISK" "$work/runner.zip"
expect_answer 200 "$(json_status 200 OK)" "install the running package"
camera-sim-ctl set orvane.PackageConfigurations '{"runner":{"enabled":true}}' >/dev/null
wait_for_file() {
  local deadline=$(( $(date +%s) + $2 ))
  until [ -s "$1" ]; do
    [ "$(date +%s)" -le "$deadline" ] || return 1
    sleep 0.2
  done
}
wait_for_file "$sd_root/runner/localdata/started.txt" 30 || fail "the package did not start: $(tail -20 "$ORVANE_LOG")"
request --data-binary '{"speed": 2}' "$settings?package_name=runner&action=set"
expect_answer 200 "$(json_status 200 OK)" "set while running"
wait_for_file "$sd_root/runner/localdata/signals.txt" 10 || fail "the package got no SIGINT"
expect_eq "$(cat "$sd_root/runner/localdata/signals.txt")" SIGINT "signals received"
grep -q 'Send signal 2 to package runner' "$ORVANE_LOG" || fail "the signal was not logged"

# Re-installing a running package stops it; the periodic start runs the new tree.
pid=$(cat "$sd_root/runner/localdata/started.txt")
install "storage=SD_DISK" "$work/runner.zip"
expect_answer 200 "$(json_status 200 OK)" "re-install while running"
grep -q 'Stop package runner' "$ORVANE_LOG" || fail "the re-install did not stop the package"
restarted() { [ "$(cat "$sd_root/runner/localdata/started.txt" 2>/dev/null)" != "$pid" ]; }
wait_until 20 restarted || fail "the new version did not start"
! kill -0 "$pid" 2>/dev/null || fail "the old process is still alive after the re-install"
expect_eq "$(cat "$sd_root/runner/localdata/signals.txt")" SIGINT "local data kept through the re-install"

pid=$(cat "$sd_root/runner/localdata/started.txt")
before=$(grep -c 'Stop package runner' "$ORVANE_LOG")
request "$remove?package_name=runner"
expect_answer 200 "$(json_status 200 OK)" "remove while running"
[ "$(grep -c 'Stop package runner' "$ORVANE_LOG")" -gt "$before" ] || fail "the removal did not stop the package"
! kill -0 "$pid" 2>/dev/null || fail "the package process is still alive after its removal"
pass
