#!/usr/bin/env bash
# The camera list, the report, and export and import of a package's local data.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox
source "$(dirname "$0")/http_helpers.bash"
source "$(dirname "$0")/endpoints/helpers.bash"

data=$api/package/data.cgi
source_data=$flash_root/origin/localdata
target_data=$sd_root/target/localdata

# tree DIR: every directory and every file's checksum below DIR, links left out.
tree() { (cd "$1" && find . -mindepth 1 \( -type d -printf 'dir %p\n' \) -o \( -type f -printf 'file %p\n' \) | sort &&
  find . -type f -print0 | sort -z | xargs -0 -r sha256sum); }
export_to() { status=$(curl -sS -D "$2.headers" -o "$2" -w '%{http_code}' "$data?package_name=$1&action=EXPORT"); }
import_into() {
  local name=$1; shift
  local forms=()
  for form in "$@"; do forms+=(-F "$form"); done
  request "${forms[@]}" "$data?package_name=$name&action=IMPORT"
}

tools=$orvane_app_dir/tools
report_line() { sed -n "$1p" "$work/body"; }

request "$api/network_camera_list.cgi"
expect_answer 200 "$(json_status 200 '{\"camera_list\":[]}')" "no camera answers"
# What the cameras announce cannot break out of the list, nor the list out of the message.
cat >"$tools/mdns-answers.txt" <<'TXT'
Printer in the hall;192.168.1.30
Front/door (axis);10.0.0.7
Lobby "axis" \ cam",{"name":"x","ip":"6.6.6.6"};10.0.0.8
TXT
request "$api/network_camera_list.cgi"
expect_answer 200 \
  '{"status": 200, "message": "{\"camera_list\":[{\"name\":\"Front\\\/door (axis)\",\"ip\":\"10.0.0.7\"},{\"name\":\"Lobby \\\"axis\\\" \\\\ cam\\\",{\\\"name\\\":\\\"x\\\",\\\"ip\\\":\\\"6.6.6.6\\\"}\",\"ip\":\"10.0.0.8\"}]}"}' \
  "camera list"
rm "$tools/mDNSClient"
request "$api/network_camera_list.cgi"
expect_answer 200 "$(json_status 200 '{\"camera_list\":[]}')" "the tool is missing"

make_package listed
install "storage=FLASH" "$work/listed.zip"
request "$api/package/list.cgi"
list=$body
request -D "$work/headers" "$api/report.cgi"
expect_eq "$status" 200 "report status"
grep -qi '^Content-Type: text/plain' "$work/headers" || fail "report without its Content-Type"
grep -qi "^Content-Length: $(stat -c %s "$work/body")" "$work/headers" || fail "report without its length"
expect_match "$(report_line 1)" '^uptime: .*load average' "report line 1"
expect_match "$(report_line 2)" '^RAM - available: [0-9]+ MB$' "report line 2"
printf 'Internal memory - available: %s MB\nNodeJS state: NOT_INSTALLED\nInstalled: %s\n' \
  $(($(stat -f -c '%a * %S' /usr/local/) / 1048576)) "$(tr '\r\n' '  ' <<<"$list" | sed 's/ $//')" |
  cmp -s - <(tail -n +3 "$work/body") || fail "report lines 3 to 5, each with its line end: $body"
[[ $list == *'"package_name":"listed"'* ]] || fail "the package list lacks the package: $list"

install_runtime
make_package origin
install "storage=FLASH" "$work/origin.zip"
main='const fs = require("fs"); fs.appendFileSync("starts.log", process.pid + "\n"); setInterval(() => {}, 1000);'
make_package target "" "$main"
install "storage=SD_DISK" "$work/target.zip"
enable_packages '{"target":{"enabled":true}}'
starts() { [ -f "$sd_root/target/starts.log" ] && wc -l <"$sd_root/target/starts.log" || echo 0; }
started_times() { [ "$(starts)" -ge "$1" ]; }
wait_until 30 started_times 1 || fail "the target package did not start: $(tail -20 "$ORVANE_LOG")"

mkdir -p "$source_data/images" "$source_data/deeper/a" "$source_data/emptydir"
printf '{"speed": 2}\n' >"$source_data/settings.json"
printf 'no final newline' >"$source_data/plain.txt"
printf 'crlf\r\n\r\n' >"$source_data/deeper/a/crlf.txt"
: >"$source_data/empty.bin"
head -c 2097152 /dev/urandom >"$source_data/images/photo.bin"
printf 'secret\n' >"$work/outside.txt"
ln -s "$work/outside.txt" "$source_data/link.txt"
ln -s /etc "$source_data/linkdir"

export_to origin "$work/export.zip"
expect_eq "$status" 200 "export status"
grep -qi '^Content-Type: application/zip' "$work/export.zip.headers" || fail "export without its Content-Type"
grep -qi '^Content-Disposition: attachment; filename="origin-data.zip"' "$work/export.zip.headers" ||
  fail "export not offered as origin-data.zip: $(cat "$work/export.zip.headers")"
expect_eq "$(unzip -Z1 "$work/export.zip" | sort | tr '\n' ' ')" \
  "deeper/ deeper/a/ deeper/a/crlf.txt empty.bin emptydir/ images/ images/photo.bin plain.txt settings.json " \
  "archive entries"
left=$(ls -A "$flash_root/origin" | grep -v -x -e localdata -e manifest.json -e main.js || true)
[ -z "$left" ] || fail "the export left $left behind"

import_into target "data=@$work/export.zip;filename=backup.zip"
expect_answer 200 "$(json_status 200 OK)" "import"
expect_eq "$(tree "$target_data")" "$(tree "$source_data")" "imported data"
grep -q 'Importing local data to package: target' "$ORVANE_LOG" || fail "the import was not logged"
wait_until 30 started_times 2 || fail "the package was not started again after the import"
[ ! -e "$sd_root/target/localdata_tmp" ] && [ ! -e "$sd_root/target/localdata_old" ] || fail "import leftovers"
imported_tree=$(tree "$target_data")

printf 'just text\n' >"$work/notes.txt"
log_mark
import_into target "data=@$work/notes.txt"
expect_answer 500 "$(json_status 500 'Http API: data import error [notes.txt]')" "import of a text file"
expect_one_failure_line Warning "Http API: data import error \[notes.txt\]: Could not open archive: " \
  "import of a text file"
expect_eq "$(tree "$target_data")" "$imported_tree" "data after a failed import"
(cd "$work" && rm -f small.zip && mkdir -p small && printf 'small\n' >small/only.txt && cd small && zip -q ../small.zip only.txt)
import_into target "a_first=@$work/notes.txt;filename=first.txt" "b_second=@$work/small.zip;filename=second.zip" \
  "comment=not a file"
expect_answer 500 "$(json_status 500 'Http API: data import error [first.txt]')" "first of two fails"
expect_eq "$(tree "$target_data")" "$imported_tree" "the second archive was not imported"
[ -z "$(ls -A /tmp | grep MPFD || true)" ] || fail "uploads left in /tmp: $(ls -A /tmp)"

# Two good archives are imported in field-name order: the last one wins.
import_into target "b=@$work/small.zip" "a=@$work/export.zip"
expect_answer 200 "$(json_status 200 OK)" "two archives"
expect_eq "$(ls "$target_data")" "only.txt" "the second archive in name order"

for i in 1 2 3; do head -c 8388608 /dev/urandom >"$source_data/images/big$i.bin"; done
for i in 1 2 3 4; do export_to origin "$work/parallel$i.zip" & done
wait
for i in 1 2 3 4; do
  unzip -q "$work/parallel$i.zip" -d "$work/unpacked$i" || fail "export $i is not a whole archive"
  expect_eq "$(tree "$work/unpacked$i")" "$(tree "$source_data")" "export $i"
done

# A package without local data exports an empty archive, whose import empties the data.
rm -rf "$source_data"
export_to origin "$work/none.zip"
expect_eq "$status" 200 "export without local data"
expect_eq "$(od -An -tx1 -N4 "$work/none.zip" | tr -d ' ')" 504b0506 "an empty archive"
import_into target "data=@$work/none.zip"
expect_answer 200 "$(json_status 200 OK)" "import of an empty archive"
[ -d "$target_data" ] && [ -z "$(ls -A "$target_data")" ] || fail "local data after an empty import"

# A running package is stopped (and saves on SIGTERM) before a re-install or import touches its files.
make_package saver "" 'const fs = require("fs"); console.log("up " + process.pid);
process.on("SIGTERM", () => setTimeout(() => { fs.appendFileSync("localdata/state.txt", "saved " + process.pid + "\n");
  console.log("saved " + process.pid); process.exit(0); }, 300));
setInterval(() => {}, 1000);'
install "storage=FLASH" "$work/saver.zip"
enable_packages '{"target":{"enabled":true},"saver":{"enabled":true}}'
saver_pid() { grep -oE '\] saver: up [0-9]+$' "$ORVANE_LOG" | tail -1 | grep -oE '[0-9]+$'; }
saver_up() { local pid; pid=$(saver_pid) && [ "$pid" != "${1:-}" ]; }
wait_until 30 saver_up || fail "saver did not start"
pid=$(saver_pid)
install "storage=FLASH" "$work/saver.zip"
expect_answer 200 "$(json_status 200 OK)" "re-install of a running package"
expect_eq "$(cat "$flash_root/saver/localdata/state.txt")" "saved $pid" "what the package saved while stopping"
wait_until 30 saver_up "$pid" || fail "saver did not start again after the re-install"
pid=$(saver_pid)
(cd "$work" && printf 'imported\n' >state.txt && rm -f state.zip && zip -q state.zip state.txt)
import_into saver "data=@$work/state.zip"
expect_answer 200 "$(json_status 200 OK)" "import into a running package"
grep -q "saver: saved $pid" "$ORVANE_LOG" || fail "saver did not save on SIGTERM"
expect_eq "$(cat "$flash_root/saver/localdata/state.txt")" imported "imported data"
wait_until 30 saver_up "$pid" || fail "saver did not start again after the import"
no_leftovers "$flash_root"

request "$data?package_name=target&action=import"
expect_answer 400 "$(json_status 400 'Http API: action does not exist')" "lower-case action"
request "$data?package_name=target"
expect_answer 400 "$(json_status 400 'Http API: no package name or action specified')" "no action"
request "$data?package_name=nothere&action=EXPORT"
expect_answer 404 "$(json_status 404 'Http API: package does not exist')" "missing package"
request "$data?package_name=..&action=EXPORT"
expect_answer 404 "$(json_status 404 'Http API: package does not exist')" "a name that is a path"
request "$data?package_name=target&action=IMPORT"
expect_answer 200 "$(json_status 200 OK)" "IMPORT without an upload"
pass
