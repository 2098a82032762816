#!/usr/bin/env bash
# A package's UI files (MIME types, bytes as stored, no way out of html/), then the camera
# proxy against a camera on 127.0.0.13 (Digest, bodies left encoded, verification for "https").
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-node
source "$(dirname "$0")/http_helpers.bash"
source "$(dirname "$0")/endpoints/helpers.bash"

# The files, of random bytes but for those checked by content, and the type each is served as.
types='index.html text/html
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
img/f.ttf font/sfnt'
html_src=$work/webapp.src/html
while read -r path _; do
  mkdir -p "$(dirname "$html_src/$path")" && head -c 100 /dev/urandom >"$html_src/$path"
done <<<"$types"
printf 'console.log("app");\n' >"$html_src/js/app.js"
head -c 70000 /dev/urandom >"$html_src/img/logo.png"
mkdir -p "$html_src/sub dir" && printf 'spaced\n' >"$html_src/sub dir/file name.txt"
make_package webapp
install "storage=FLASH" "$work/webapp.zip"
expect_eq "$status" 200 "install"
html=$flash_root/webapp/html
printf 'outside\n' >"$flash_root/webapp/secret.txt"

# fetch PATH: $api/package/webapp/PATH (or $api/PATH for "/..."), its Content-Type in $type.
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
done <<<"$types"
fetch "sub%20dir/file%20name.txt"
expect_eq "$status $(cat "$work/body")" "200 spaced" "encoded blanks"
grep -qi "^Content-Length: 70000" <(fetch img/logo.png; cat "$work/headers") || fail "length of the image"

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
%2e%2e/secret.txt
js%2f..%2f..%2fsecret.txt
/package/webapp//js/app.js
/package/webapp///etc/passwd
out.txt
root/etc/passwd
js/
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

# A test CA and a certificate for the address 127.0.0.13 only.
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Orvane Test CA" \
  -keyout ca.key -out ca.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.13" -keyout camera.key -out camera.csr 2>/dev/null
printf 'subjectAltName=IP:127.0.0.13\n' >camera.ext
openssl x509 -req -in camera.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile camera.ext \
  -out camera.pem 2>/dev/null
node "$here/camera.js" camera.pem camera.key 127.0.0.13 127.0.0.14 >camera.log 2>&1 &
camera_up() { grep -q 'camera ready' camera.log; }
wait_until 10 camera_up || fail "the camera did not start: $(cat camera.log)"

user='op@tor'
password='p:ss w%rd/&'
# through PROTOCOL IP PORT PATH [CURL ARGS...]: a proxy request with the camera's credentials and $query.
through() {
  local protocol=$1 ip=$2 port=$3 path=$4
  shift 4
  local headers=(-H "x-target-camera-ip: $ip" -H "x-target-camera-port: $port" -H "x-target-camera-path: $path"
    -H "x-target-camera-user: $user" -H "x-target-camera-pass: $password")
  [ "$protocol" = none ] || headers+=(-H "x-target-camera-protocol: $protocol")
  status=$(curl -sS -D "$work/headers" -o "$work/body" -w '%{http_code}' "${headers[@]}" "$@" "$api/proxy.cgi${query:+?$query}")
  body=$(tr -d '\0' <"$work/body")
}

query='b=2&a=x%20y' through http 127.0.0.13 8080 /axis-cgi/echo
expect_eq "$status $(json_field method url userAgent)" "200 GET /axis-cgi/echo?a=x%20y&b=2 Tessaly" "Digest over HTTP"
grep -q '^X-Camera: 127.0.0.13' "$work/headers" || fail "camera headers: $(cat "$work/headers")"
through http 127.0.0.13 8080 /axis-cgi/echo -X PUT -H 'Content-Type: text/x-cam' --data-binary 'a=b'
expect_eq "$(json_field method contentType body)" "POST text/x-cam a=b" "PUT forwarded"
through http 127.0.0.13 8080 /axis-cgi/echo -X POST
expect_eq "$(json_field method)" GET "POST without a body"

# The camera's 401 reaches the client as 400, body and headers unchanged.
password=wrong through http 127.0.0.13 8080 /axis-cgi/echo
expect_answer 400 denied "wrong password"
grep -q '^WWW-Authenticate: Digest realm="camera"' "$work/headers" || fail "challenge: $(cat "$work/headers")"
user='' through http 127.0.0.13 8080 /axis-cgi/echo
expect_answer 400 denied "no user"

through http 127.0.0.13 8080 /gzip
expect_eq "$status" 200 "gzip status"
grep -q '^Content-Encoding: gzip' "$work/headers" || fail "encoding header: $(cat "$work/headers")"
expect_eq "$(gzip -dc "$work/body")" "compressed camera text" "gzip body left encoded"
through http 127.0.0.13 8080 /chunked
expect_answer 200 "first,second" "chunked body"

request -H 'x-target-camera-port: 8080' "$api/proxy.cgi"
expect_answer 400 "$(json_status 400 'Http API: missing x-target-camera-protocol, parameter target_camera_ip or target_camera_port')" \
  "no ip"
through http 127.0.0.13 9 /
expect_answer 500 "$(json_status 500 'Http API: proxy request error - no answer from camera 127.0.0.13')" \
  "nothing listening"

# HTTPS: "https" verifies, so an unknown CA fails; other spellings and no header do not verify.
through https 127.0.0.13 8443 /axis-cgi/echo
expect_eq "$status" 500 "https with an untrusted CA"
for protocol in HTTPS Https none; do
  through "$protocol" 127.0.0.13 8443 /axis-cgi/echo
  expect_eq "$status $(json_field url)" "200 /axis-cgi/echo" "$protocol without verification"
done

# With the test CA trusted, "https" succeeds, but only for the address the certificate names.
cat /etc/ssl/certs/ca-certificates.crt ca.pem >trusted.pem
mount --bind trusted.pem /etc/ssl/certs/ca-certificates.crt
through https 127.0.0.13 8443 /axis-cgi/echo
expect_eq "$status $(json_field url)" "200 /axis-cgi/echo" "https with the CA trusted"
through https 127.0.0.14 8443 /axis-cgi/echo
expect_eq "$status" 500 "https to an address the certificate does not name"
through HTTPS 127.0.0.14 8443 /axis-cgi/echo
expect_eq "$status" 200 "HTTPS to that address"
grep -q '^X-Camera: 127.0.0.14' "$work/headers" || fail "second address: $(cat "$work/headers")"
pass
