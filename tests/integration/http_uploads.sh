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
too_large() { json_status 413 "Http API: upload error - $1"; }
# limit NAME: the value of an upload limit of Limits.h.
limit() { echo $(($(sed -nE "s/.* $1 = (.*);/\1/p" "$top/src/util/Limits.h"))); }

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

# A large body behind a refused Content-Type is answered without being read to its end:
# the client announces 200 MiB, sends only the first 64 KiB and waits for the answer.
# (A client that keeps sending races the server's close and may see a reset instead.)
answer=$(node -e '
  const socket = require("net").connect(22520, "127.0.0.1", () => {
    socket.write("POST /package/install.cgi?storage=SD_DISK HTTP/1.1\r\nHost: x\r\n" +
      "Content-Type: application/octet-stream\r\nContent-Length: 209715200\r\n\r\n");
    socket.write(Buffer.alloc(65536));
  });
  let received = "";
  socket.on("data", (chunk) => { received += chunk; });
  socket.on("error", () => {});
  socket.on("close", () => { process.stdout.write(received.split("\r\n")[0]); process.exit(0); });
  setTimeout(() => { process.stdout.write("no answer: " + received); process.exit(0); }, 10000);
')
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
request "$api/api_check.cgi"
expect_answer 200 "$(json_status 200 OK)" "the server after the bad uploads"
pass
