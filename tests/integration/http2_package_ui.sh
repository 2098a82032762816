#!/usr/bin/env bash
# A package's UI files: MIME types, bytes as stored, and every way out of the html
# directory refused with the file-not-found answer.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-node
source "$(dirname "$0")/http_helpers.bash"

html_src=$work/webapp.src/html
mkdir -p "$html_src/js" "$html_src/css" "$html_src/img" "$html_src/sub dir"
printf '<html><body>hi</body></html>\n' >"$html_src/index.html"
printf 'console.log("app");\n' >"$html_src/js/app.js"
printf 'body { color: red; }' >"$html_src/css/site.css"
printf '{"a": 1}\n' >"$html_src/data.json"
printf 'read me\n' >"$html_src/README"
printf 'upper\n' >"$html_src/page.HTML"
printf 'spaced\n' >"$html_src/sub dir/file name.txt"
head -c 70000 /dev/urandom >"$html_src/img/logo.png"
for ext in ico jpg wav mp3 svg pdf doc ttf; do head -c 100 /dev/urandom >"$html_src/img/f.$ext"; done
make_package webapp
install "storage=FLASH" "$work/webapp.zip"
expect_eq "$status" 200 "install"
html=$flash_root/webapp/html
printf 'outside\n' >"$flash_root/webapp/secret.txt"

# fetch PATH: the file at $api/package/webapp/PATH (or $api/PATH when it starts with "/"),
# with the Content-Type in $type.
fetch() {
  local url=$api/package/webapp/$1
  [ "${1:0:1}" != / ] || url=$api$1
  status=$(curl -sS --path-as-is -D "$work/headers" -o "$work/body" -w '%{http_code}' "$url")
  type=$(sed -n 's/^Content-Type: \(.*\)\r$/\1/Ip' "$work/headers")
  body=$(tr -d '\0' <"$work/body")
}
not_found=$(json_status 400 'Http API: UI request error - file not found')

while read -r path expected; do
  fetch "$path"
  expect_eq "$status $type" "200 $expected" "$path"
  cmp -s "$work/body" "$html/$path" || fail "$path: content differs"
done <<'LIST'
index.html text/html
js/app.js text/javascript
css/site.css text/css
data.json application/json
README text/plain
page.HTML text/plain
img/logo.png image/png
img/f.ico image/x-icon
img/f.jpg image/jpeg
img/f.wav audio/wav
img/f.mp3 audio/mpeg
img/f.svg image/svg+xml
img/f.pdf application/pdf
img/f.doc application/msword
img/f.ttf font/sfnt
LIST
fetch "sub%20dir/file%20name.txt"
expect_eq "$status $(cat "$work/body")" "200 spaced" "encoded blanks"
grep -qi "^Content-Length: 70000" <(fetch img/logo.png; cat "$work/headers") || fail "length of the image"

# Links inside html/: one to a file inside is served, one leading out is refused.
ln -s ../js/app.js "$html/css/inside.js"
ln -s ../secret.txt "$html/out.txt"
ln -s / "$html/root"
fetch css/inside.js
expect_eq "$status $(cat "$work/body")" '200 console.log("app");' "link that stays inside"

while read -r path; do
  fetch "$path"
  expect_eq "$status" 400 "$path (status)"
  expect_eq "$(cat "$work/body")" "$not_found" "$path"
done <<'LIST'
../secret.txt
js/../../secret.txt
%2e%2e/secret.txt
js%2f..%2f..%2fsecret.txt
..%2F..%2F..%2F..%2Fetc%2Fpasswd
js//app.js
/package/webapp//js/app.js
/package/webapp///etc/passwd
out.txt
root/etc/passwd
js
js/
missing.html
/package/nothere/index.html
/package/../localdata/packages/webapp/html/index.html
/package/%2E%2E/orvane/orvane
/package/webapp/
LIST
fetch /package/webapp
expect_answer 400 "$(json_status 400 'Http API: UI request error - invalid path found')" "no file after the name"
fetch /package/
expect_answer 400 "$(json_status 400 'Http API: UI request error - invalid path found')" "nothing after package"
request "$api/api_check.cgi"
expect_answer 200 "$(json_status 200 OK)" "Orvane still answers"
pass
