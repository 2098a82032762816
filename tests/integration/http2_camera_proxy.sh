#!/usr/bin/env bash
# The camera proxy against another camera on 127.0.0.13: target and credentials from the
# headers, Digest authentication, bodies left encoded, and certificate verification only
# for the protocol written exactly "https".
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox --no-node
source "$(dirname "$0")/http_helpers.bash"
source "$(dirname "$0")/http2/helpers.bash"

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
# through PROTOCOL IP PORT PATH [CURL ARGS...]: a camera-proxy request with these targets
# and the camera's credentials, and the query string $query.
through() {
  local protocol=$1 ip=$2 port=$3 path=$4
  shift 4
  local headers=(-H "x-target-camera-ip: $ip" -H "x-target-camera-port: $port" -H "x-target-camera-path: $path"
    -H "x-target-camera-user: $user" -H "x-target-camera-pass: $password")
  [ "$protocol" = none ] || headers+=(-H "x-target-camera-protocol: $protocol")
  status=$(curl -sS -D "$work/headers" -o "$work/body" -w '%{http_code}' "${headers[@]}" "$@" "$api/proxy.cgi${query:+?$query}")
  body=$(tr -d '\0' <"$work/body")
}

# Plain HTTP with Digest, query and method rules.
query='b=2&a=x%20y' through http 127.0.0.13 8080 /axis-cgi/echo
expect_eq "$status" 200 "Digest over HTTP"
expect_eq "$(json_field method) $(json_field url)" "GET /axis-cgi/echo?a=x%20y&b=2" "target path and query"
expect_eq "$(json_field userAgent)" Tessaly "user agent"
grep -q '^X-Camera: 127.0.0.13' "$work/headers" || fail "camera headers: $(cat "$work/headers")"
through http 127.0.0.13 8080 /axis-cgi/echo -X PUT -H 'Content-Type: text/x-cam' --data-binary 'a=b'
expect_eq "$(json_field method) $(json_field contentType) $(json_field body)" "POST text/x-cam a=b" "PUT forwarded"
through http 127.0.0.13 8080 /axis-cgi/echo -X POST
expect_eq "$(json_field method)" GET "POST without a body"

# The camera's 401 reaches the client as 400, body and headers unchanged.
password=wrong through http 127.0.0.13 8080 /axis-cgi/echo
expect_answer 400 denied "wrong password"
grep -q '^WWW-Authenticate: Digest realm="camera"' "$work/headers" || fail "challenge: $(cat "$work/headers")"
user='' through http 127.0.0.13 8080 /axis-cgi/echo
expect_answer 400 denied "no user"

# The body as the camera encoded it.
through http 127.0.0.13 8080 /gzip
expect_eq "$status" 200 "gzip status"
grep -q '^Content-Encoding: gzip' "$work/headers" || fail "encoding header: $(cat "$work/headers")"
expect_eq "$(gzip -dc "$work/body")" "compressed camera text" "gzip body left encoded"
through http 127.0.0.13 8080 /chunked
expect_answer 200 "first,second" "chunked body"

# Missing targets; an unreachable camera.
request -H 'x-target-camera-port: 8080' "$api/proxy.cgi"
expect_answer 400 "$(json_status 400 'Http API: missing x-target-camera-protocol, parameter target_camera_ip or target_camera_port')" \
  "no ip"
request -H 'x-target-camera-ip: 127.0.0.13' -H 'x-target-camera-port;' "$api/proxy.cgi"
expect_answer 400 "$(json_status 400 'Http API: missing x-target-camera-protocol, parameter target_camera_ip or target_camera_port')" \
  "empty port"
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

# With the test CA among the system's trusted certificates, "https" verifies and succeeds,
# but only for the address the certificate names.
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
