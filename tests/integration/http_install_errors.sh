#!/usr/bin/env bash
# Bad uploads: each gets a JSON status error, leaves nothing behind, keeps the earlier installation.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox
source "$(dirname "$0")/http_helpers.bash"

make_package keeper
install "storage=SD_DISK" "$work/keeper.zip"
expect_answer 200 "$(json_status 200 OK)" "first installation"
echo precious >"$sd_root/keeper/localdata/data.txt"
snapshot() { (cd "$sd_root" && find . | sort && cat keeper/localdata/data.txt keeper/main.js); }
reference=$(snapshot)

intact() {
  expect_eq "$(snapshot)" "$reference" "SD package root after $1"
  no_leftovers "$sd_root"
}
# A bad archive is the client's mistake: one warning, giving the answer and its reason.
refused_file() {
  log_mark
  install "storage=SD_DISK" "$1"
  expect_answer 500 "$(json_status 500 "Http API: install package(s) error [$(basename "$1")]")" "$2"
  expect_one_failure_line Warning "Http API: install package\(s\) error \[$(basename "$1")\]: .+" "$2"
  intact "$2"
}

printf 'this is not a zip\n' >"$work/text.zip"
refused_file "$work/text.zip" "a file that is not a zip"
expect_reason "^Could not open archive: Not a zip archive$" "a file that is not a zip"

mkdir -p "$work/nomanifest" && echo 'x' >"$work/nomanifest/main.js"
(cd "$work/nomanifest" && zip -q "$work/nomanifest.zip" main.js)
refused_file "$work/nomanifest.zip" "no manifest"
expect_reason "no manifest.json at its root" "no manifest"
(cd "$work" && zip -qr "$work/folder.zip" keeper.src)
refused_file "$work/folder.zip" "files in a folder"
expect_reason "in the folder keeper.src/ of the archive: a package's files must sit at the archive's root" \
  "files in a folder"

python3 - "$work" <<'PY'
import sys, zipfile
work = sys.argv[1]
manifest = '{"package_name": "keeper", "package_menu_name": "K", "package_version": "2", "vendor": "T"}'
with zipfile.ZipFile(work + "/traversal.zip", "w") as z:
    z.writestr("manifest.json", manifest)
    z.writestr("../../escaped.txt", "out")
with zipfile.ZipFile(work + "/nested.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("manifest.json", "[" * 200000)
    z.writestr("main.js", "")
PY
refused_file "$work/traversal.zip" "a path-traversal entry"
[ ! -e /var/spool/storage/escaped.txt ] && [ ! -e "$sd_root/../escaped.txt" ] || fail "an entry escaped"
refused_file "$work/nested.zip" "a manifest nested too deep"
kill -0 "$ORVANE_PID" || fail "Orvane ended on a deeply nested manifest"

# An empty file part has no temporary file: its clean-up must spare the (empty) upload directory.
rm -rf "$flash_root" && mkdir "$flash_root"
request -F "file0=@/dev/null;filename=nothing.zip" "$api/package/install.cgi?storage=FLASH"
expect_answer 500 "$(json_status 500 'Http API: install package(s) error [nothing.zip]')" "empty file part"
[ -d "$flash_root" ] || fail "the FLASH package root was removed"

# A small SD card: what would not fit unpacked is refused before unpacking, an upload while it arrives.
mount -o remount,size=12m /var/spool/storage/SD_DISK
mkdir -p "$work/big.src"
head -c $((16 * 1024 * 1024)) /dev/zero >"$work/big.src/blob"
make_package big
refused_file "$work/big.zip" "a package larger than the card"
expect_reason "^not enough space to decompress the package$" "a package larger than the card"
log_mark
request -F "file0=@$work/big.zip" "$api/package/data.cgi?package_name=keeper&action=IMPORT"
expect_answer 500 "$(json_status 500 'Http API: data import error [big.zip]')" "data larger than the card"
expect_reason "^Refusing archive: unpacked size [0-9]+ exceeds free space" "data larger than the card"
expect_one_failure_line Warning \
  "Http API: data import error \[big.zip\]: Refusing archive: unpacked size [0-9]+ exceeds free space" \
  "data larger than the card"
intact "data larger than the card"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$work/huge.zip"
install "storage=SD_DISK" "$work/huge.zip"
expect_eq "$status" 500 "an upload larger than the card (body $body)"
[[ $body == '{"status": 500, "message": "Http API: upload error - Cannot write to file '* ]] ||
  fail "an upload larger than the card: $body"
intact "an upload larger than the card"
mount -o remount,size=1g /var/spool/storage/SD_DISK

# Multipart bodies that cannot be taken are answered at once, leaving no uploaded file.
url="$api/package/install.cgi?storage=SD_DISK"
crlf=$'\r\n'

post() {
  request --max-time 20 -H "Content-Type: $1" -H 'Expect:' --data-binary "@$2" "$url"
}
upload_error() { json_status 400 "Http API: upload error - $1"; }
too_large() { json_status 413 "Http API: upload error - $1"; }

make_package fine
printf 'x' >"$work/x"

post "" "$work/fine.zip"
expect_answer 400 "$(json_status 400 'Http API: no Content-type found')" "no Content-Type"
post "text/plain" "$work/fine.zip"
expect_answer 400 "$(upload_error 'Content type is not \"multipart\/form-data\"\nIt is \"text\/plain\"')" \
  "a Content-Type that is not multipart"
post "multipart/form-data; charset=utf-8" "$work/fine.zip"
expect_answer 400 "$(upload_error 'Cannot find boundary in Content-type: \"multipart\/form-data; charset=utf-8\"')" \
  "no boundary"

# A refused 200 MiB body is answered after its first 64 KiB (a client that kept sending
# would race the server's close).
exec {raw}<>/dev/tcp/127.0.0.1/22520
printf 'POST /package/install.cgi?storage=SD_DISK HTTP/1.1\r\nHost: x\r\nContent-Type: application/octet-stream\r\n%s' \
  $'Content-Length: 209715200\r\n\r\n' >&"$raw"
head -c 65536 /dev/zero >&"$raw" 2>/dev/null || true
answer=$(timeout 10 head -1 <&"$raw" || true)
exec {raw}<&-
expect_match "$answer" '^HTTP/1\.[01] 400' "a large body that is not multipart"

# A body cut before its closing boundary: its last part may be truncated, so nothing is installed.
{
  printf -- '--b%s' "$crlf"
  printf 'Content-Disposition: form-data; name="f"; filename="fine.zip"%s%s' "$crlf" "$crlf"
  cat "$work/fine.zip"
} >"$work/unterminated"
post "multipart/form-data; boundary=b" "$work/unterminated"
expect_answer 400 "$(upload_error 'the body ends before its closing boundary')" "no closing boundary"
[ ! -e "$sd_root/fine" ] || fail "a cut body was installed"

{ cat "$work/unterminated"; printf '%s--b--%s' "$crlf" "$crlf"; } >"$work/terminated"
post "multipart/form-data; boundary=b" "$work/terminated"
expect_answer 200 "$(json_status 200 OK)" "a well-formed hand-made body"
[ -f "$sd_root/fine/main.js" ] || fail "the hand-made upload was not installed"

# Part headers that never end run into their cap; a file part written before them is removed.
{
  printf -- '--b%s' "$crlf"
  printf 'Content-Disposition: form-data; name="f"; filename="fine.zip"%s%s' "$crlf" "$crlf"
  cat "$work/fine.zip"
  printf '%s--b%s' "$crlf" "$crlf"
  head -c $((16 * 1024 * 1024)) /dev/zero | tr '\0' 'h'
} >"$work/endless"
post "multipart/form-data; boundary=b" "$work/endless"
expect_answer 413 "$(too_large "Part headers longer than $(limit maxUploadPartHeaderBytes) bytes.")" \
  "endless part headers"

# Bad part headers within their cap are quoted in a short prefix only.
{ printf -- '--b\r\n'; head -c 8000 /dev/zero | tr '\0' h; printf '\r\n\r\nx\r\n--b--\r\n'; } >"$work/badheader"
post "multipart/form-data; boundary=b" "$work/badheader"
expect_eq "$status" 400 "a long bad part header (body $body)"
[ "${#body}" -lt 600 ] || fail "a long bad part header is echoed: ${#body} bytes"

# One file part too many, and a text field one byte over its cap, leave nothing behind.
for ((i = 0; i <= $(limit maxUploadFileParts); i++)); do
  printf -- '--b\r\nContent-Disposition: form-data; name="f%d"; filename="f.zip"\r\n\r\nz\r\n' "$i"
done >"$work/fileparts"
printf -- '--b--\r\n' >>"$work/fileparts"
post "multipart/form-data; boundary=b" "$work/fileparts"
expect_answer 413 "$(too_large "More than $(limit maxUploadFileParts) file parts in one body.")" "too many files"
{
  printf -- '--b\r\nContent-Disposition: form-data; name="t"\r\n\r\n'
  head -c $(($(limit maxUploadTextFieldBytes) + 1)) /dev/zero | tr '\0' t
  printf '\r\n--b--\r\n'
} >"$work/text"
post "multipart/form-data; boundary=b" "$work/text"
expect_answer 413 "$(too_large "A text field is longer than $(limit maxUploadTextFieldBytes) bytes.")" \
  "a text field over its cap"

no_leftovers "$sd_root"
ls "$sd_root" | grep -qx fine || fail "the package installed earlier is gone"
request "$api/package/list.cgi"
expect_eq "$status" 200 "list after the failures"
pass
