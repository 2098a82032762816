#!/usr/bin/env bash
# Package installation: both storages, the list, re-installs, conflicts, a restart mid-install,
# and the SD card taken out.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox
source "$(dirname "$0")/http_helpers.bash"

request "$api/package/list.cgi"
expect_answer 200 '[]' "empty list"

make_package onflash
make_package onsd
install "storage=FLASH" "$work/onflash.zip"
expect_answer 200 "$(json_status 200 OK)" "install on FLASH"
install "storage=SD_DISK" "$work/onsd.zip"
expect_answer 200 "$(json_status 200 OK)" "install on the SD card"
[ -f "$flash_root/onflash/main.js" ] && [ -d "$flash_root/onflash/localdata" ] || fail "FLASH tree incomplete"
[ -f "$sd_root/onsd/main.js" ] && [ -d "$sd_root/onsd/localdata" ] || fail "SD tree incomplete"
no_leftovers "$flash_root"
no_leftovers "$sd_root"

# The list: FLASH first, each manifest as Orvane writes what it parsed (compact JSON).
request "$api/package/list.cgi"
expected="[{\"storage\":\"FLASH\",\"manifest\":$(jq -c . "$work/onflash.src/manifest.json")},"
expected+="{\"storage\":\"SD_DISK\",\"manifest\":$(jq -c . "$work/onsd.src/manifest.json")}]"
expect_answer 200 "$expected" "list of one FLASH and one SD package"

# No storage argument, or "flash" in lower case, means the SD card.
make_package plain
install "" "$work/plain.zip"
expect_answer 200 "$(json_status 200 OK)" "install without storage"
make_package lower
install "storage=flash" "$work/lower.zip"
[ -d "$sd_root/plain" ] && [ -d "$sd_root/lower" ] && [ ! -d "$flash_root/lower" ] ||
  fail "absent or lower-case storage did not mean the SD card"

# A re-install keeps the local data and replaces everything else.
echo keep >"$flash_root/onflash/localdata/state.txt"
echo old >"$flash_root/onflash/obsolete.js"
mkdir -p "$work/onflash.src/localdata"
echo from-archive >"$work/onflash.src/localdata/state.txt"
echo shipped >"$work/onflash.src/localdata/shipped.txt"
make_package onflash "" "// version 2"
install "storage=FLASH" "$work/onflash.zip"
expect_answer 200 "$(json_status 200 OK)" "re-install"
expect_eq "$(cat "$flash_root/onflash/localdata/state.txt")" keep "local data after re-install"
expect_eq "$(cat "$flash_root/onflash/localdata/shipped.txt")" shipped "archive's local data"
expect_eq "$(cat "$flash_root/onflash/main.js")" "// version 2" "new main.js"
[ ! -e "$flash_root/onflash/obsolete.js" ] || fail "files of the earlier installation survived"
no_leftovers "$flash_root"
# A re-install whose archive brings a "localdata" that is a file fails, the earlier one intact.
rm -rf "$work/broken" && cp -r "$work/onflash.src" "$work/broken" && rm -r "$work/broken/localdata"
echo not-a-directory >"$work/broken/localdata" && echo '// version 3' >"$work/broken/main.js"
(cd "$work/broken" && zip -qr "$work/broken.zip" .)
install "storage=FLASH" "$work/broken.zip"
expect_eq "$status" 500 "re-install whose data cannot be carried over (body $body)"
expect_eq "$(cat "$flash_root/onflash/main.js") $(cat "$flash_root/onflash/localdata/state.txt")" "// version 2 keep" \
  "the earlier installation after a failed re-install"
no_leftovers "$flash_root"

install "storage=" "$work/onflash.zip"
expect_answer 200 "$(json_status 200 OK)" "move to the SD card"
[ ! -e "$flash_root/onflash" ] || fail "the FLASH copy is still there"
expect_eq "$(cat "$sd_root/onflash/localdata/state.txt")" keep "local data after the move"
no_leftovers "$flash_root"

make_package onsd
cp "$work/onsd.zip" "$work/conflict.zip"
make_package "bad.name"
cp "$work/bad.name.zip" "$work/badname.zip"
install "storage=FLASH" "$work/conflict.zip" "$work/badname.zip"
expect_answer 409 "$(json_status 409 'Http API: install package(s) error [conflict.zip, badname.zip]')" \
  "conflict and a bad name"
expect_reason '^conflict.zip: onsd is already installed on the other storage \(SD_DISK\).*; badname.zip: .*package name' \
  "conflict and a bad name"
install "storage=FLASH" "$work/badname.zip"
expect_answer 500 "$(json_status 500 'Http API: install package(s) error [badname.zip]')" "bad name alone"
[ ! -e "$flash_root/onsd" ] && [ -f "$sd_root/onsd/main.js" ] || fail "the conflicting install changed something"
no_leftovers "$flash_root"

make_package "my-app_2"
install "storage=SD_DISK" "$work/badname.zip" "$work/my-app_2.zip"
expect_answer 500 "$(json_status 500 'Http API: install package(s) error [badname.zip]')" "one of two fails"
[ -f "$sd_root/my-app_2/manifest.json" ] || fail "my-app_2 was not installed"

make_package future 99.0
install "storage=SD_DISK" "$work/future.zip"
expect_answer 500 "$(json_status 500 'Http API: install package(s) error [future.zip]')" "required version"
grep -q "package requires Orvane version 99.0 or newer" "$ORVANE_LOG" || fail "required version not logged"

make_package twin
for i in 1 2 3 4; do
  curl -sS -o "$work/twin$i.out" -w '%{http_code}' -F "file=@$work/twin.zip" \
    "$api/package/install.cgi?storage=SD_DISK" >"$work/twin$i.status" &
done
wait
for i in 1 2 3 4; do
  expect_eq "$(cat "$work/twin$i.status")" 200 "concurrent install $i ($(cat "$work/twin$i.out"))"
done
[ -f "$sd_root/twin/main.js" ] && [ -d "$sd_root/twin/localdata" ] || fail "concurrent installs left no package"
no_leftovers "$sd_root"

before=$(ls "$sd_root" | sort)
request -F "note=hello" "$api/package/install.cgi?storage=SD_DISK"
expect_answer 200 "$(json_status 200 OK)" "text-only form"
request -X POST "$api/package/install.cgi"
expect_answer 200 "$(json_status 200 OK)" "POST without a body"
expect_eq "$(ls "$sd_root" | sort)" "$before" "packages after the text-only forms"
no_leftovers "$sd_root"

# Orvane killed mid-unpack: start-up clears what is left, and the half tree is not listed.
head -c $((200 * 1048576)) /dev/zero >"$work/twin.src/big.bin"
(cd "$work/twin.src" && zip -q "$work/bulky.zip" manifest.json big.bin && rm big.bin)
curl -sS -o /dev/null -F "file=@$work/bulky.zip" "$api/package/install.cgi?storage=SD_DISK" 2>/dev/null &
unpacking() { find "$sd_root" -mindepth 2 -path "$sd_root/twin" -prune -o -name big.bin -print | grep -q .; }
wait_until 60 unpacking || fail "the large install was never seen unpacking"
kill -9 "$ORVANE_PID"
wait $! || true
mkdir -p "$flash_root/.staging/stale/package" && echo x >"$flash_root/.staging/MPFD_Temp_1"
# A re-install cut after its intent was recorded and the earlier installation set aside: the
# staging directory holds the only copy of that installation, and start-up completes the move.
make_package halfway "" "// new"
cut="$flash_root/.staging/cut"
mkdir -p "$cut/old/localdata" && cp -r "$work/halfway.src" "$cut/package"
echo '// old' >"$cut/old/main.js" && echo kept >"$cut/old/localdata/state.txt"
printf 'install\n%s\n%s\nend\n' "$flash_root/halfway" "$flash_root/halfway" >"$cut/intent"
orvane_start "$work/restart.log" console
wait_until 20 curl -sf -o /dev/null "$api/api_check.cgi" || fail "no restart: $(cat "$work/restart.log")"
request "$api/package/list.cgi"
expect_eq "$(grep -o '"package_name":"twin"' <<<"$body" | wc -l)" 1 "twin listed after the restart"
expect_match "$body" '"package_name":"halfway"' "the interrupted re-install after the restart"
expect_eq "$(cat "$flash_root/halfway/main.js") $(cat "$flash_root/halfway/localdata/state.txt")" "// new kept" \
  "the interrupted re-install's files"
expect_match "$(cat "$work/restart.log")" "Completed the interrupted install of $flash_root/halfway" "recovery log"
no_leftovers "$flash_root"
no_leftovers "$sd_root"

# The SD card taken out: SD uploads refused, its figure -1, its packages unlisted, FLASH works.
umount /var/spool/storage/SD_DISK && rmdir /var/spool/storage/SD_DISK
make_package flashonly
install "" "$work/flashonly.zip"
expect_answer 400 "$(json_status 400 'Http API: the SD card is not available')" "SD upload without a card"
[ ! -e /var/spool/storage/SD_DISK ] || fail "the SD card directory was created"
request "$api/package/get_storage.cgi"
[[ $body =~ ^\[\{\"type\":\"FLASH\",\"capacity_mb\":[0-9]+\},\{\"type\":\"SD_DISK\",\"capacity_mb\":-1\}\]$ ]] ||
  fail "storage without a card: $body"
install "storage=FLASH" "$work/flashonly.zip"
expect_answer 200 "$(json_status 200 OK)" "FLASH install without a card"
request "$api/package/list.cgi"
expect_eq "$(jq -r '[.[].storage] | unique | join(",")' <<<"$body")" FLASH "storages listed without a card"
expect_match "$body" '"package_name":"flashonly"' "list without a card"
orvane_stop
pass
