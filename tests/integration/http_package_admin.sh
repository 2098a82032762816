#!/usr/bin/env bash
# Storage figures, removal and settings of installed packages.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox
source "$(dirname "$0")/http_helpers.bash"

free_mb() { echo $(( $(stat -f -c '%a * %S' "$1") / 1048576 )); }

# Storage figures: FLASH less a 2 MiB reserve (never below 0), the SD card as it is.
request "$api/package/get_storage.cgi"
expect_answer 200 "[{\"type\":\"FLASH\",\"capacity_mb\":$(( $(free_mb "$flash_root") - 2 ))},{\"type\":\"SD_DISK\",\"capacity_mb\":$(free_mb "$sd_root")}]" \
  "storage figures"
used_kb=$(df -k --output=used /usr/local/packages | tail -1)
mount -o remount,size=$((used_kb + 1536))k /usr/local/packages
request "$api/package/get_storage.cgi"
[[ $body == '[{"type":"FLASH","capacity_mb":0},{"type":"SD_DISK","capacity_mb":'* ]] || fail "nearly full flash: $body"
mount -o remount,size=1g /usr/local/packages

# Settings of a package that is installed but not running.
make_package quiet
install "storage=FLASH" "$work/quiet.zip"
settings="$api/package/settings.cgi"
request "$settings?package_name=quiet&action=get"
expect_answer 200 '{}' "settings never stored"
request -H 'Content-Type: application/json' --data-binary '{"a": [1, 2]}' "$settings?package_name=quiet&action=set"
expect_answer 200 "$(json_status 200 OK)" "set while not running"
expect_eq "$(cat "$flash_root/quiet/localdata/settings.json")" '{"a": [1, 2]}' "settings file"
request "$settings?package_name=quiet&action=get"
expect_answer 200 '{"a": [1, 2]}' "settings read back"
request -H 'Content-Type: text/plain' --data-binary 'not json at all' "$settings?package_name=quiet&action=set"
request "$settings?package_name=quiet&action=get"
expect_answer 200 'not json at all' "a body that is not JSON is stored as sent"
request -X POST "$settings?package_name=quiet&action=set"
expect_answer 200 "$(json_status 200 OK)" "set with an empty body"
[ -f "$flash_root/quiet/localdata/settings.json" ] && [ ! -s "$flash_root/quiet/localdata/settings.json" ] ||
  fail "an empty body did not leave an empty settings file"
request "$settings?package_name=quiet&action=get"
expect_answer 200 '{}' "empty settings read back"

request "$settings?package_name=nothere&action=get"
expect_answer 200 '{}' "get for a missing package"
request --data-binary '{}' "$settings?package_name=nothere&action=set"
expect_answer 404 "$(json_status 404 'Http API: package settings - package does not exist')" "set for a missing package"
request --data-binary '{}' "$settings?package_name=..&action=set"
expect_answer 404 "$(json_status 404 'Http API: package settings - package does not exist')" "set for .."
[ ! -e "$flash_root/../localdata/settings.json" ] || fail "settings written outside the packages"
request "$settings?action=get"
expect_answer 400 "$(json_status 400 'Http API: package settings - no action specified')" "no package name"
request "$settings?package_name=quiet"
expect_answer 400 "$(json_status 400 'Http API: package settings - no action specified')" "no action"
request "$settings?package_name=quiet&action=GET"
expect_answer 400 "$(json_status 400 'Http API: package settings - unknown action specified')" "action in capitals"

# Removal.
remove="$api/package/remove.cgi"
request "$remove"
expect_answer 400 "$(json_status 400 'Http API: remove package - no package name specified')" "remove without a name"
request "$remove?package_name=nothere"
expect_answer 404 "$(json_status 404 'Http API: remove package - package does not exist')" "remove a missing package"
for name in .. . '..%2F..' 'quiet%22%3Btouch%20%2Ftmp%2Fx%3B%22'; do
  request "$remove?package_name=$name"
  expect_eq "$status" 404 "remove $name"
done
[ -d "$flash_root" ] && [ -d /usr/local/packages/orvane/localdata ] && [ ! -e /tmp/x ] ||
  fail "a removal left the package root"
# A removal that cannot be carried out (a mount point cannot be moved or removed) answers
# 500 and leaves the package whole and listed.
mount --bind "$flash_root/quiet" "$flash_root/quiet"
request "$remove?package_name=quiet"
umount "$flash_root/quiet"
expect_answer 500 "$(json_status 500 'Http API: remove package - package could not be removed')" "failed removal"
[ -f "$flash_root/quiet/main.js" ] && [ -f "$flash_root/quiet/localdata/settings.json" ] || fail "half removed"
request "$api/package/list.cgi"
expect_match "$body" '"package_name": "quiet"' "listed after a failed removal"
request "$remove?package_name=quiet"
expect_answer 200 "$(json_status 200 OK)" "remove"
[ ! -e "$flash_root/quiet" ] || fail "the package directory is still there"
no_leftovers "$flash_root"
request "$api/package/list.cgi"
expect_answer 200 '[]' "list after the removal"

pass
