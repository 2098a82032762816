#!/usr/bin/env bash
# Multipart uploads that cannot be taken: every one is answered with a JSON status error
# without waiting for the connection's timeout, and leaves no uploaded file behind.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox
source "$(dirname "$0")/http_helpers.bash"

url="$api/package/install.cgi?storage=SD_DISK"
crlf=$'\r\n'

# post TYPE FILE: posts FILE as the raw body with Content-Type TYPE (none when empty).
post() {
  request --max-time 20 -H "Content-Type: $1" -H 'Expect:' --data-binary "@$2" "$url"
}
upload_error() { json_status 400 "Http API: upload error - $1"; }

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

# A large body behind a refused Content-Type is answered without being read to its end.
head -c $((200 * 1024 * 1024)) /dev/zero >"$work/large"
post "application/octet-stream" "$work/large"
expect_eq "$status" 400 "a large body that is not multipart"
rm -f "$work/large"

# A body cut before its closing boundary: its last part may be truncated, so nothing is installed.
{
  printf -- '--b%s' "$crlf"
  printf 'Content-Disposition: form-data; name="f"; filename="fine.zip"%s%s' "$crlf" "$crlf"
  cat "$work/fine.zip"
} >"$work/unterminated"
post "multipart/form-data; boundary=b" "$work/unterminated"
expect_answer 400 "$(upload_error 'the body ends before its closing boundary')" "no closing boundary"
[ ! -e "$sd_root/fine" ] || fail "a cut body was installed"

# The same body with its closing boundary installs the package.
{ cat "$work/unterminated"; printf '%s--b--%s' "$crlf" "$crlf"; } >"$work/terminated"
post "multipart/form-data; boundary=b" "$work/terminated"
expect_answer 200 "$(json_status 200 OK)" "a well-formed hand-made body"
[ -f "$sd_root/fine/main.js" ] || fail "the hand-made upload was not installed"

# A part without Content-Disposition.
printf -- '--b%sContent-Type: text/plain%s%sx%s--b--%s' "$crlf" "$crlf" "$crlf" "$crlf" "$crlf" >"$work/nodisposition"
post "multipart/form-data; boundary=b" "$work/nodisposition"
expect_eq "$status" 400 "a part without Content-Disposition (body $body)"
[[ $body == *'does not contain \"Content-Disposition: form-data;\"'* ]] || fail "disposition error: $body"

# Part headers that never end run into the parser's limit; a file part written before them is removed.
{
  printf -- '--b%s' "$crlf"
  printf 'Content-Disposition: form-data; name="f"; filename="fine.zip"%s%s' "$crlf" "$crlf"
  cat "$work/fine.zip"
  printf '%s--b%s' "$crlf" "$crlf"
  head -c $((16 * 1024 * 1024)) /dev/zero | tr '\0' 'h'
} >"$work/endless"
post "multipart/form-data; boundary=b" "$work/endless"
expect_answer 400 "$(upload_error 'Maximum data collector length reached.')" "endless part headers"

no_leftovers "$sd_root"
ls "$sd_root" | grep -qx fine || fail "the package installed earlier is gone"
request "$api/api_check.cgi"
expect_answer 200 "$(json_status 200 OK)" "the server after the bad uploads"
pass
