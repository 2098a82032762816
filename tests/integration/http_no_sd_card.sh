#!/usr/bin/env bash
# A camera without an SD card: SD uploads are refused before their body is read, the SD
# figure is -1, and FLASH keeps working.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-sd
source "$(dirname "$0")/http_helpers.bash"

make_package flashonly
install "" "$work/flashonly.zip"
expect_answer 400 "$(json_status 400 'Http API: the SD card is not available')" "SD upload without a card"
install "storage=SD_DISK" "$work/flashonly.zip"
expect_answer 400 "$(json_status 400 'Http API: the SD card is not available')" "explicit SD upload without a card"
[ ! -e /var/spool/storage/SD_DISK ] || fail "the SD card directory was created"

request "$api/package/get_storage.cgi"
[[ $body =~ ^\[\{\"type\":\"FLASH\",\"capacity_mb\":[0-9]+\},\{\"type\":\"SD_DISK\",\"capacity_mb\":-1\}\]$ ]] ||
  fail "storage without a card: $body"

install "storage=FLASH" "$work/flashonly.zip"
expect_answer 200 "$(json_status 200 OK)" "FLASH install without a card"
request "$api/package/list.cgi"
expect_answer 200 "[{\"storage\":\"FLASH\",\"manifest\":$(cat "$work/flashonly.src/manifest.json")}]" "list"
pass
