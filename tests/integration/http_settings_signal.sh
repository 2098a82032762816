#!/usr/bin/env bash
# A running package gets SIGINT when its settings change, and is stopped by its removal.
# Settings set on a full storage fail and keep the former file; what an install creates and
# the package process's umask keep other users out.
set -euo pipefail
# Orvane may inherit an open mask: what it creates must keep other users out all the same.
umask 000
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
mkdir -p "$work/runner.src/html"
echo page >"$work/runner.src/html/index.html"
make_package runner "" "$(cat "$work/main.js")"
install "storage=SD_DISK" "$work/runner.zip"
expect_answer 200 "$(json_status 200 OK)" "install the running package"
expect_eq "$(cd "$sd_root/runner" && stat -c '%n %a' . html localdata main.js html/index.html)" \
  ". 755
html 755
localdata 755
main.js 644
html/index.html 644" "modes of the installed package"
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
expect_eq "$(grep '^Umask:' "/proc/$(cat "$sd_root/runner/localdata/started.txt")/status")" \
  $'Umask:\t0022' "umask of the package process"

# A full storage: new settings larger than a page cannot be written, the former ones stay.
sd_disk=/var/spool/storage/SD_DISK
used_kb=$(df --output=used -k "$sd_disk" | tail -1)
mount -o remount,size=$((used_kb + 256))k "$sd_disk"
dd if=/dev/zero of="$sd_disk/filler" bs=4k 2>/dev/null || true
request --data-binary "{\"pad\": \"$(head -c 6000 /dev/zero | tr '\0' x)\"}" "$settings?package_name=runner&action=set"
expect_answer 500 "$(json_status 500 "Http API: package settings - write file error")" "set on a full storage"
expect_eq "$(cat "$sd_root/runner/localdata/settings.json")" '{"speed": 2}' "settings after the failed set"
expect_eq "$(ls -A "$sd_root/runner/localdata" | grep -v '^settings.json$\|^started.txt$\|^signals.txt$' || true)" "" \
  "files left in localdata"
rm "$sd_disk/filler"
mount -o remount,size=50% "$sd_disk"

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
