#!/usr/bin/env bash
# The HTTP API: routing, form bodies, limits, storage figures, settings and removal, and a
# running package signalled when its settings change.
set -euo pipefail
# Orvane may inherit an open mask: what it creates must keep other users out all the same.
umask 000
source "$(dirname "$0")/lib.sh"
# Trace shows each request's path; the runtime location makes Orvane unpack Node.js there.
params=$build/http_api.params
[ -n "${ORVANE_SANDBOX:-}" ] ||
  printf 'orvane.LogLevel=trace\norvane.NodejsLocation=/usr/local/packages/orvane/tools/\n' >"$params"
in_sandbox --params "$params"
source "$(dirname "$0")/http_helpers.bash"

request "$api/api_check.cgi"
expect_answer 200 '{"status": 200, "message": "OK"}' "API check"
request -X POST "$api/some/path/api_check.cgi/x"
expect_answer 200 "$(json_status 200 OK)" "API check by substring, POST without a body"
curl -sS -D "$work/headers" -o /dev/null "$api/api_check.cgi"
grep -qi '^Content-Type: application/json' "$work/headers" || fail "JSON status without its Content-Type"

request "$api/foo"
expect_answer 400 '{"status": 400, "message": "HttpServer: unknown request: \/foo"}' "unknown path"
grep -q 'HttpServer: unknown request: /foo' "$ORVANE_LOG" || fail "unknown request not logged"
request -X DELETE "$api/package"
expect_answer 400 "$(json_status 400 'HttpServer: unknown request: \/package')" "unknown path with another method"

# Form bodies: exact Content-Type only, the last of repeated fields, "+" kept, replacing GET arguments.
mkdir -p "$work/formpkg.src/html" && echo page >"$work/formpkg.src/html/index.html"
make_package formpkg
install "storage=SD_DISK" "$work/formpkg.zip"
request --data-binary 'v=1' "$api/package/settings.cgi?package_name=formpkg&action=set"
expect_answer 200 "$(json_status 200 OK)" "settings set"
request -H 'Content-Type: application/x-www-form-urlencoded' --data-binary 'action=x&action=get&package_name=formpkg' \
  "$api/package/settings.cgi?action=set"
expect_answer 200 'v=1' "form fields replace query arguments"
request -H 'Content-Type: application/x-www-form-urlencoded; charset=utf-8' --data-binary 'action=get' \
  "$api/package/settings.cgi?package_name=formpkg&action=bogus"
expect_answer 400 "$(json_status 400 'Http API: package settings - unknown action specified')" \
  "form body with a charset is not parsed"
request -H 'Content-TYPE: application/x-www-form-urlencoded' --data-binary 'package_name=formpkg&action=g%65t' \
  "$api/package/settings.cgi"
expect_answer 200 'v=1' "percent-decoded form value, Content-Type in any letter case"

# Heads must come quickly, bodies are capped, no NUL or control character in a path gets through.
exec {half}<>/dev/tcp/127.0.0.1/22520
printf 'GET /api_check.cgi HTTP/1.1\r\nHost: x\r\n' >&"$half"
timeout $((($(limit httpRequestHeadTimeoutSeconds) + $(limit httpIdleTimeoutSeconds)) / 2)) cat <&"$half" >/dev/null &
half_reader=$!
head -c $(($(limit maxRequestBodyBytes) * 2)) /dev/zero | tr '\0' x >"$work/big"
for chunked in "" "Transfer-Encoding: chunked"; do
  request -H "$chunked" --data-binary @"$work/big" "$api/package/settings.cgi?package_name=formpkg&action=set"
  expect_eq "$status $(jq .status <<<"$body")" "413 413" "oversized body ($chunked)"
done
request "$api/package/settings.cgi?package_name=formpkg&action=get"
expect_answer 200 'v=1' "settings kept after oversized bodies"
request "$api/nope%01"
jq -e '.message == "HttpServer: unknown request: /nope\u0001"' <<<"$body" >/dev/null || fail "control character: $body"
request "$api/package/formpkg/index.html%00.png"
expect_answer 400 "$(json_status 400 'Http API: UI request error - file not found')" "NUL in a UI path"
wait "$half_reader" || fail "half a request head kept its connection open"
exec {half}<&-

# 1,100 idle connections: answers go on, threads and descriptors stay bounded, one log line per burst.
(
  ulimit -n 2048
  for _ in $(seq 1100); do exec {fd}<>/dev/tcp/127.0.0.1/22520; done
  echo open
  exec sleep 60
) >"$work/held" &
holder=$!
wait_until 30 grep -q open "$work/held" || fail "idle connections not opened"
for i in 1 2 3; do
  request "$api/api_check.cgi"
  expect_answer 200 "$(json_status 200 OK)" "API check with idle connections held ($i)"
done
max=$(limit maxHttpConnections)
threads=$(ls "/proc/$ORVANE_PID/task" | wc -l) fds=$(ls "/proc/$ORVANE_PID/fd" | wc -l)
[ "$threads" -lt $((max + 128)) ] && [ "$fds" -lt $((max + 256)) ] || fail "$threads threads, $fds descriptors"
kill "$holder"
reports=$(grep -c 'connection places are taken' "$ORVANE_LOG" || true)
[ "$reports" -ge 1 ] && [ "$reports" -le 3 ] || fail "connection limit logged $reports times"

expect_eq "$(ss -ltnH | awk '{print $4}' | grep ':22520$')" 127.0.0.1:22520 "listening addresses"

request "$api/api_check.cgi?b=x%20y&a=1"
grep -qF 'Path: /api_check.cgi?a=1&b=x%20y' "$ORVANE_LOG" || fail "no Trace line for the path"

free_mb() { echo $(( $(stat -f -c '%a * %S' "$1") / 1048576 )); }
# FLASH less a 2 MiB reserve (never below 0), the SD card as it is.
request "$api/package/get_storage.cgi"
expect_answer 200 "[{\"type\":\"FLASH\",\"capacity_mb\":$(( $(free_mb "$flash_root") - 2 ))},{\"type\":\"SD_DISK\",\"capacity_mb\":$(free_mb "$sd_root")}]" \
  "storage figures"
used_kb=$(df -k --output=used /usr/local/packages | tail -1)
mount -o remount,size=$((used_kb + 1536))k /usr/local/packages
request "$api/package/get_storage.cgi"
[[ $body == '[{"type":"FLASH","capacity_mb":0},{"type":"SD_DISK","capacity_mb":'* ]] || fail "nearly full flash: $body"
mount -o remount,size=1g /usr/local/packages

make_package quiet
install "storage=FLASH" "$work/quiet.zip"
settings="$api/package/settings.cgi"
request "$settings?package_name=quiet&action=get"
expect_answer 200 '{}' "settings never stored"
request -H 'Content-Type: application/json' --data-binary '{"a": [1, 2]}' "$settings?package_name=quiet&action=set"
expect_answer 200 "$(json_status 200 OK)" "set while not running"
expect_eq "$(cat "$flash_root/quiet/localdata/settings.json")" '{"a": [1, 2]}' "settings file"
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
request "$settings?package_name=quiet&action=GET"
expect_answer 400 "$(json_status 400 'Http API: package settings - unknown action specified')" "action in capitals"

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
# A removal that fails (a mount point cannot be moved) answers 500, the package whole and listed.
mount --bind "$flash_root/quiet" "$flash_root/quiet"
request "$remove?package_name=quiet"
umount "$flash_root/quiet"
expect_answer 500 "$(json_status 500 'Http API: remove package - package could not be removed')" "failed removal"
[ -f "$flash_root/quiet/main.js" ] && [ -f "$flash_root/quiet/localdata/settings.json" ] || fail "half removed"
request "$api/package/list.cgi"
expect_match "$body" '"package_name":"quiet"' "listed after a failed removal"
# What a page of another web site makes the owner's browser send changes nothing.
cross=(-H 'Sec-Fetch-Site: cross-site')
refused=$(json_status 403 'Http API: request from another web site refused')
request "${cross[@]}" "$remove?package_name=quiet"
expect_answer 403 "$refused" "cross-site removal"
expect_reason 'another web site' "cross-site removal"
request "${cross[@]}" --data-binary '{"x":1}' "$settings?package_name=quiet&action=set"
expect_answer 403 "$refused" "cross-site settings set"
request "${cross[@]}" -F "file=@$work/formpkg.zip" "$api/package/install.cgi?storage=FLASH"
expect_answer 403 "$refused" "cross-site install"
request "${cross[@]}" -F "file=@$work/quiet.zip" "$api/package/data.cgi?package_name=quiet&action=IMPORT"
expect_answer 403 "$refused" "cross-site data import"
request "${cross[@]}" "$api/node_update.cgi?storage=FLASH"
expect_answer 403 "$refused" "cross-site runtime installation"
[ -f "$flash_root/quiet/main.js" ] && [ ! -e "$flash_root/formpkg" ] || fail "a cross-site request changed packages"
[ ! -s "$flash_root/quiet/localdata/settings.json" ] || fail "a cross-site settings set or data import wrote"
no_leftovers "$flash_root"
request "${cross[@]}" "$settings?package_name=quiet&action=get"
expect_eq "$status" 200 "cross-site settings get"
request -H 'Sec-Fetch-Site: same-origin' "$remove?package_name=quiet"
expect_answer 200 "$(json_status 200 OK)" "remove"
[ ! -e "$flash_root/quiet" ] || fail "the package directory is still there"
no_leftovers "$flash_root"
request "$api/package/list.cgi"
! grep -q '"package_name":"quiet"' <<<"$body" || fail "listed after the removal: $body"

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
wait_until 30 test -s "$sd_root/runner/localdata/started.txt" || fail "the package did not start: $(tail -20 "$ORVANE_LOG")"
request --data-binary '{"speed": 2}' "$settings?package_name=runner&action=set"
expect_answer 200 "$(json_status 200 OK)" "set while running"
wait_until 10 test -s "$sd_root/runner/localdata/signals.txt" || fail "the package got no SIGINT"
expect_eq "$(cat "$sd_root/runner/localdata/signals.txt")" SIGINT "signals received"
grep -q 'Send signal 2 to package runner' "$ORVANE_LOG" || fail "the signal was not logged"
expect_eq "$(grep '^Umask:' "/proc/$(cat "$sd_root/runner/localdata/started.txt")/status")" \
  $'Umask:\t0022' "umask of the package process"

# On a full storage new settings larger than a page fail and the former ones stay.
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

pass
