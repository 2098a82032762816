#!/usr/bin/env bash
# A new version over one that runs is on probation: one that crashes, cannot start or
# crash-loops gives way to the version it replaced, with its data; one that runs on stays,
# and nothing is kept after; a SIGKILL of Orvane during the probation changes nothing; with
# no room to keep the previous version there is no rollback, and the status says so.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/packages_helpers.bash"
export ORVANE_TEST_TIMINGS=tick=1,short=5,crashes=3,delay=2,max=4,stable=6
in_sandbox --params "$(dirname "$0")/packages_node.params"

log=$ORVANE_LOG
orvane_pid=$ORVANE_PID
work=$(mktemp -d)
api=http://127.0.0.1:22520/package
status_of() { package_api "status.cgi?package_name=up" | jq -c "$1"; }

# version VERSION BEHAVIOUR [NAME]: a zip of the package NAME (default up) at VERSION whose
# main.js is BEHAVIOUR (none: no main.js).
version() {
  local dir=$work/src.$1.$RANDOM
  mkdir -p "$dir"
  printf '{"package_name":"%s","package_menu_name":"Up","package_version":"%s","vendor":"Orvane tests"}\n' \
    "${3:-up}" "$1" >"$dir/manifest.json"
  [ "$2" = none ] || printf '%s\n' "$2" >"$dir/main.js"
  (cd "$dir" && zip -qr "$dir.zip" .)
  echo "$dir.zip"
}
install() {
  expect_eq "$(curl -sS -F "pkg=@$1" "$api/install.cgi?storage=${2:-FLASH}")" '{"status": 200, "message": "OK"}' "install $1"
}
# Version 1 runs, answers with its version and what its data says, and writes its data once.
runs='const fs = require("fs"); const v = require("./manifest.json").package_version;
if (!fs.existsSync("localdata/state.txt")) fs.writeFileSync("localdata/state.txt", "written by " + v);
require("http").createServer((q, r) => r.end(v + " " + fs.readFileSync("localdata/state.txt"))).listen(Number(process.env.HTTP_PORT), "127.0.0.1");'
v1=$(version 1.0.0 "$runs")
answer() { curl -s http://127.0.0.1:22520/proxy/up/; }
answers() { [ "$(answer)" = "$1" ]; }
kept_entries() { ls -A "$orvane_app_dir/localdata/packages/.kept" 2>/dev/null | wc -l; }
staged_entries() { ls -A "$orvane_app_dir/localdata/packages/.staging" 2>/dev/null | wc -l; }

install "$v1"
enable_packages '{"up":{"enabled":true}}'
wait_until 10 answers "1.0.0 written by 1.0.0" || fail "version 1 not running: $(answer)"
expect_eq "$(status_of '[.probation_until,.rollback]')" '[null,null]' "no probation for a first install"

# Version 2 rewrites the data and crash-loops: version 1 comes back with its data.
install "$(version 2.0.0 'require("fs").writeFileSync("localdata/state.txt", "ruined by 2.0.0"); process.exit(1);')"
expect_match "$(status_of '[.probation_until > 0, .rollback_available]')" '^\[true,true\]$' "on probation"
expect_match "$(cat "$log")" '\[ Info    \] Install package: up 2.0.0: version 1.0.0 kept for a rollback, with its data$' "install line"
wait_until 20 answers "1.0.0 written by 1.0.0" || fail "version 1 not back with its data: $(answer) $(status_of .)"
expect_eq "$(status_of '[.rollback.from,.rollback.to,.rollback.data,.rollback.reason,.probation_until]')" \
  '["2.0.0","1.0.0","restored","3 runs in a row ended within 5.0 s",null]' "rollback in status.cgi"
expect_match "$(cat "$log")" '\[ Warning \] Package up: rolled back to 1.0.0: version 2.0.0 failed its probation \(3 runs in a row ended within 5.0 s\); its data as before the install restored$' "rollback in Orvane's log"
expect_match "$(package_api 'log.cgi?package_name=up&limit=1000' | jq -r '.lines[].text')" '^rolled back to 1.0.0: ' "rollback in the package's log"
expect_eq "$(package_api list.cgi | jq -c '[.[].manifest.package_version]')" '["1.0.0"]' "listed after the rollback"
expect_eq "$(kept_entries)" 0 "nothing kept after the rollback"

# A version that cannot start (no main.js) gives way as well; a re-install during the
# probation keeps the version kept before, not the unproven one.
install "$(version 2.1.0 none)"
install "$(version 2.2.0 none)"
expect_match "$(cat "$log")" 'Install package: up 2.2.0: version 1.0.0 stays kept for a rollback$' "re-install during probation"
wait_until 15 answers "1.0.0 written by 1.0.0" || fail "version 1 not back after 2.2.0: $(status_of .)"
expect_eq "$(status_of '[.rollback.from,.rollback.to,.rollback.reason]')" '["2.2.0","1.0.0","cannot start: no main.js"]' "rollback from an unstartable version"

# Orvane killed during a probation: after the restart the probation goes on and ends the
# same way.
install "$(version 3.0.0 'process.exit(1);')"
kill -KILL "$orvane_pid"
orvane_start "$work/orvane2.log" console
log=$work/orvane2.log
wait_until 30 answers "1.0.0 written by 1.0.0" || fail "version 1 not back after the restart: $(status_of .)"
expect_eq "$(status_of '[.rollback.from,.rollback.to]')" '["3.0.0","1.0.0"]' "rollback after the restart"

# A version that runs through its probation stays; nothing is kept afterwards.
install "$(version 4.0.0 "$runs")"
wait_until 10 answers "4.0.0 written by 1.0.0" || fail "version 4 not running: $(answer)"
[ "$(kept_entries)" = 1 ] || fail "nothing kept during the probation"
passed() { [ "$(status_of .probation_until)" = null ]; }
wait_until 15 passed || fail "probation never ended: $(status_of .)"
expect_eq "$(status_of '[.rollback]')" '[null]' "no rollback"
expect_eq "$(kept_entries) $(staged_entries)" "0 0" "kept version deleted after the probation, staging empty"
expect_match "$(package_api 'log.cgi?package_name=up&limit=1000' | jq -r '.lines[].text')" '^passed its probation' "passed in the package's log"

# No room to keep the previous version: no rollback, and the status says so.
sd_packages=/var/spool/storage/SD_DISK/orvane/packages
mkdir -p "$sd_packages" && mount -t tmpfs -o size=24m tmpfs "$sd_packages"
big=$work/big && mkdir -p "$big" && head -c $((10 * 1048576)) /dev/urandom >"$big/blob"
big_v1=$(version 1.0.0 "$runs" big)
(cd "$big" && zip -q "$big_v1" blob)
install "$big_v1" SD_DISK
enable_packages '{"up":{"enabled":true},"big":{"enabled":true}}'
wait_until 10 grep -q 'Start package: big' "$log" || fail "big not started"
install "$(version 2.0.0 'process.exit(1);' big)" SD_DISK
expect_match "$(cat "$log")" 'Install package: big 2.0.0: no room to keep version 1.0.0 for a rollback$' "no room said"
expect_eq "$(package_api 'status.cgi?package_name=big' | jq -c '.rollback_available')" false "rollback_available"
big_failed() { grep -q 'Package big: failed its probation' "$log"; }
wait_until 15 big_failed || fail "no word of the failed probation"
expect_eq "$(package_api 'status.cgi?package_name=big' | jq -c '[.rollback,.probation_until]')" '[null,null]' "no rollback without a kept version"
orvane_stop TERM
umount "$sd_packages"
pass
