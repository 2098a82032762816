#!/usr/bin/env bash
# The package proxy against a real package: mapping, methods, statuses, headers, large bodies, threads.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox
source "$(dirname "$0")/http_helpers.bash"
source "$(dirname "$0")/endpoints/helpers.bash"

install_runtime
make_package echo "" "$(cat "$here/echo.js")"
install "storage=FLASH" "$work/echo.zip"
make_package mute
install "storage=SD_DISK" "$work/mute.zip"
enable_packages '{"echo":{"enabled":true},"mute":{"enabled":true}}'
wait_until 30 answers_with 200 "$api/proxy/echo/ready" || fail "the package did not come up: $(tail -20 "$ORVANE_LOG")"
threads_before=$(orvane_threads)

# Every method reaches the package as sent: its target byte for byte, its body however it
# came, its end-to-end headers (not the camera's credentials, not hop-by-hop ones).
request "$api/proxy/echo/api/state?x=1"
expect_eq "$status $(json_field method url)" "200 GET /api/state?x=1" "GET forwarded"
expect_match "$(json_field userAgent)" '^curl/' "the client's User-Agent"
request -H 'X-Secret: 1' -H 'Cookie: a=b' -H 'Authorization: Basic YTpi' -H 'Connection: X-Hop' -H 'X-Hop: 1' \
  "$api/proxy/echo/q?b=x%20y&a=1%262&a=2&flag&c=%2F&d=%00+"
expect_eq "$(json_field url headers)" "/q?b=x%20y&a=1%262&a=2&flag&c=%2F&d=%00+ accept,host,user-agent,x-secret" \
  "query as sent, headers"
request "$api/proxy/echo/a%20b%3Fc/d"
expect_eq "$(json_field url)" "/a%20b%3Fc/d" "encoded path pieces stay as sent"
request "$api/some/prefix/proxy/echo/deep/er/"
expect_eq "$(json_field url)" "/deep/er/" "route found anywhere in the path"

printf 'line one\nline two\n' >"$work/put.txt"
for method in PUT DELETE PATCH OPTIONS POST GET; do
  request -X "$method" -H 'Content-Type: text/x-test' --data-binary @"$work/put.txt" "$api/proxy/echo/m?x=1"
  expect_eq "$(json_field method url contentType)" "$method /m?x=1 text/x-test" "$method forwarded"
  expect_eq "$(json_field body | base64 -d)" "$(cat "$work/put.txt")" "$method body forwarded"
done
for method in POST DELETE; do
  request -X "$method" "$api/proxy/echo/empty"
  expect_eq "$(json_field method contentType body)" "$method null " "$method without a body"
done
request -H 'Transfer-Encoding: chunked' -H 'Content-Type: text/x-test' --data-binary @"$work/put.txt" \
  "$api/proxy/echo/chunked"
expect_eq "$(json_field method contentType)" "POST text/x-test" "chunked POST"
expect_eq "$(json_field body | base64 -d)" "$(cat "$work/put.txt")" "chunked POST body"
curl -sS -I -o /dev/null -D "$work/headers" -w '%{http_code} %{size_download}' "$api/proxy/echo/big" >"$work/head-status"
expect_eq "$(cat "$work/head-status") $(grep -i '^Content-Length:' "$work/headers" | tr -d '\r')" \
  "200 0 Content-Length: $((48 * 1048576))" "HEAD"
head -c 300000 /dev/urandom >"$work/random.bin"
request -H 'Content-Type: application/octet-stream' --data-binary @"$work/random.bin" "$api/proxy/echo/upload"
json_field body | base64 -d | cmp - "$work/random.bin" || fail "binary request body changed"
request --data 'password=hunter2&user=bob' "$api/proxy/echo/form?x=1"
expect_eq "$(json_field url) $(json_field body | base64 -d)" "/form?x=1 password=hunter2&user=bob" "form body"
head -c 20000 /dev/zero | tr '\0' a | sed 's/^/f=/' >"$work/form.txt"
request --data-binary @"$work/form.txt" "$api/proxy/echo/largeform"
expect_eq "$status $(json_field url) $(json_field body | base64 -d | wc -c)" "200 /largeform 20002" "20 kB form"

# Redirects are followed (307 keeps the method and body); a package that closes the
# connection after answering costs the next request nothing.
request "$api/proxy/echo/redirect"
expect_eq "$status $(json_field method url)" "200 GET /after?from=redirect" "302 followed"
request -H 'Content-Type: text/plain' --data-binary 'kept' "$api/proxy/echo/redirect307"
expect_eq "$(json_field method url) $(json_field body | base64 -d)" "POST /after307 kept" "307 followed"
request "$api/proxy/echo/redirect-file"
expect_eq "$status $(jq -r .message <<<"$body")" "500 Http API: proxy request error - no answer from package echo" \
  "redirect to a local file"
request "$api/proxy/echo/reset"
expect_eq "$status" 500 "a body cut by a reset"
for i in 1 2 3; do
  expect_eq "$(curl -sS "$api/proxy/echo/bye" "$api/proxy/echo/after$i" | grep -o '"url":"[^"]*"')" \
    "\"url\":\"/after$i\"" "request after a closed package connection"
done

# One client connection: a head and a body trickled in pieces, then a proxied request and
# another endpoint pipelined, all answered in order.
exec {conn}<>/dev/tcp/127.0.0.1/22520
{
  printf 'POST /proxy/echo/trick'
  sleep 0.3
  printf 'led HTTP/1.1\r\nHost: x\r\nContent-Length: 6\r\n\r\nab'
  sleep 0.3
  printf 'cdefGET /proxy/echo/one HTTP/1.1\r\nHost: x\r\n\r\nGET /api_check.cgi HTTP/1.1\r\nConnection: close\r\n\r\n'
} >&"$conn"
answers=$(timeout 10 cat <&"$conn" | grep -o -e '"url":"[^"]*"' -e '"body":"[^"]*"' -e '"message": "OK"' | tr '\n' ' ')
exec {conn}>&-
expect_eq "$answers" "\"url\":\"/trickled\" \"body\":\"YWJjZGVm\" \"url\":\"/one\" \"body\":\"\" \"message\": \"OK\" " \
  "pipelined answers"
# A client that shuts its sending side after the request still gets the whole answer.
half_closed=$(node -e 'const s = require("net").connect(22520, "127.0.0.1", () =>
  s.end("GET /proxy/echo/big HTTP/1.1\r\nHost: x\r\n\r\n")); let n = 0; s.on("data", (d) => n += d.length);
  s.on("close", () => console.log(n > 48 * 1048576 ? "whole" : "cut at " + n));')
expect_eq "$half_closed" whole "answer to a half-closed connection"

request -D "$work/headers" "$api/proxy/echo/unauthorized"
expect_answer 400 "token missing" "401 replaced"
grep -q '^X-Reason: no token' "$work/headers" || fail "headers of the 401: $(cat "$work/headers")"
for code in 404 503 201; do
  request "$api/proxy/echo/status/$code"
  expect_answer "$code" "status body" "upstream status $code"
done
expect_match "$(grep -c 'Warning \] Http API: package echo answered 404 to GET /proxy/echo/status/404$' "$ORVANE_LOG")" \
  '^1$' "a package's 404 logged once"
curl -sS -D "$work/headers" -o "$work/body" "$api/proxy/echo/h"
grep -q '^X-Custom-Header: custom value' "$work/headers" || fail "custom header: $(cat "$work/headers")"
curl -sS -D "$work/headers" -o "$work/body" "$api/proxy/echo/big-sha256"
expect_eq "$(grep -ci '^Content-Length:' "$work/headers")" 1 "one Content-Length"
curl -sS -D "$work/headers" -o "$work/body" "$api/proxy_public/echo/p/q?z=1&y=2"
expect_eq "$(cat "$work/body")" "public /p/q?z=1&y=2" "public port"
grep -q '^x-WeIrD-CaSe: Mixed Value' "$work/headers" || fail "oddly cased header: $(cat "$work/headers")"
grep -q '^X-Folded: first part second part third: part' "$work/headers" ||
  fail "folded header: $(cat "$work/headers")"
! grep -qi '^third:' "$work/headers" || fail "a folded line became a header"

# Nothing below a package's prefix reaches another endpoint, another package or the other
# port: the name is the piece right after the prefix, the rest is the package's path.
expect_eq "$(curl -sS "$api/proxy_public/echo/proxy/x")" "public /proxy/x" "public prefix, then proxy"
expect_eq "$(curl -sS "$api/proxy_public/echo/x/package/remove.cgi?package_name=mute")" \
  "public /x/package/remove.cgi?package_name=mute" "public prefix, then remove.cgi"
expect_eq "$(curl -sS --path-as-is "$api/proxy_public/echo/../package/remove.cgi?package_name=mute")" \
  "public /../package/remove.cgi?package_name=mute" "public prefix, then a dot segment"
request -X POST "$api/proxy/echo/x/package/remove.cgi?package_name=mute"
expect_eq "$(json_field url)" "/x/package/remove.cgi?package_name=mute" "private prefix, then remove.cgi (POST)"
for path in e/package/list.cgi api_check.cgi x/proxy_public/echo/y x/proxy/mute/y; do
  request "$api/proxy/echo/$path"
  expect_eq "$status $(json_field url)" "200 /$path" "private prefix, then $path"
done
request "$api/package/list.cgi"
expect_match "$body" '"mute"' "mute is still installed"

# A status outside 100 to 599 or conflicting framing is a failed transfer, answered with a
# framed 500; interim heads never reach the final answer.
for raw in 099 000 42 two-lengths length-and-chunked; do
  request "$api/proxy_public/echo/raw/$raw"
  expect_eq "$status $(jq -r .message <<<"$body")" "500 Http API: proxy request error - no answer from package echo" \
    "package answer $raw"
done
curl -sS -D "$work/headers" -o "$work/body" "$api/proxy_public/echo/raw/interim"
expect_eq "$(head -1 "$work/headers" | tr -d '\r') $(cat "$work/body")" "HTTP/1.1 200 OK final" "interim heads"
grep -q '^X-Final: yes' "$work/headers" || fail "final header: $(cat "$work/headers")"
! grep -qiE '^(X-Interim|Link):' "$work/headers" || fail "interim headers merged: $(cat "$work/headers")"
exec {conn}<>/dev/tcp/127.0.0.1/22520
printf 'GET /proxy_public/echo/raw/099 HTTP/1.1\r\nHost: x\r\n\r\nGET /api_check.cgi HTTP/1.1\r\nConnection: close\r\n\r\n' >&"$conn"
answers=$(timeout 10 cat <&"$conn" | grep -o -e 'HTTP/1.1 [0-9]*' -e '"status": [0-9]*' -e smuggled | tr '\n' '|')
exec {conn}>&-
expect_eq "$answers" 'HTTP/1.1 500|"status": 500|HTTP/1.1 200|"status": 200|' \
  "a status below 100 then a pipelined request"

expected=$(curl -sS "$api/proxy/echo/big-sha256")
actual=$(curl -sS "$api/proxy/echo/big" | sha256sum | cut -d' ' -f1)
expect_eq "$actual" "$expected" "48 MiB body"

# A 300 MiB tagged body is streamed, not cached (so not named in If-None-Match); a small one
# is replayed on the package's 304.
vm() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$ORVANE_PID/status"; }
huge=$((300 * 1048576))
rss_start=$(vm VmRSS)
echo 5 >"/proc/$ORVANE_PID/clear_refs" # the peak starts again from here
for round in 1 2; do
  expect_eq "$(curl -sS -o /dev/null -w '%{http_code} %{size_download}' "$api/proxy/echo/tagged/$huge")" \
    "200 $huge" "300 MiB body, fetch $round"
done
peak_growth=$(($(vm VmHWM) - rss_start)) rss_growth=$(($(vm VmRSS) - rss_start))
echo "300 MiB body: RSS ${rss_start} kB before, peak +${peak_growth} kB, +${rss_growth} kB after"
[ "$peak_growth" -lt 65536 ] || fail "peak memory grew by $peak_growth kB"
[ "$rss_growth" -lt 16384 ] || fail "memory grew by $rss_growth kB and stayed"
expect_eq "$(curl -sS "$api/proxy/echo/conditional")" 0 "a 300 MiB body named in If-None-Match"
for round in 1 2; do
  expect_eq "$(curl -sS "$api/proxy/echo/tagged/5000" | wc -c)" 5000 "small tagged body, fetch $round"
done
expect_eq "$(curl -sS "$api/proxy/echo/conditional")" 1 "small tagged body replayed on 304"

# Ambiguous framing never makes two requests of one: each of these hides a request for
# /sneak in what its framing may make of its body; none of them reaches the package.
sneak='GET /proxy/echo/sneak HTTP/1.1\r\nHost: x\r\n\r\n'
for variant in \
  "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n$sneak" \
  "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n0\r\n\r\n$sneak" \
  "Content-Length: 0\r\nContent-Length: 41\r\n\r\n$sneak" \
  "Content-Length: +0\r\n\r\n$sneak" \
  "Transfer-Encoding: chunked\r\n\r\n10000000000000029\r\n$sneak\r\n0\r\n\r\n" \
  "Transfer-Encoding: chunked\r\n\r\n29\n$sneak\r\n0\r\n\r\n" \
  "Transfer-Encoding: chunked\r\n\r\n29;x\ry\r\n$sneak\r\n0\r\n\r\n" \
  "Transfer-Encoding: identity, chunked\r\n\r\n29\r\n$sneak\r\n0\r\n\r\n" \
  "X-A: 1\r\n Content-Length: 41\r\n\r\n$sneak" \
  "Content-Length: 41\n\n$sneak" \
  "X-A: a\0b\r\nContent-Length: 41\r\n\r\n$sneak"; do
  # One write, by another process: the server may close before the bytes after the head
  # arrive, and a write to a closed connection ends its writer.
  printf "POST /proxy/echo/outer HTTP/1.1\r\nHost: x\r\n$variant" >"$work/variant"
  exec {conn}<>/dev/tcp/127.0.0.1/22520
  cat "$work/variant" >&"$conn" 2>/dev/null || true
  timeout 2 cat <&"$conn" >/dev/null || true
  exec {conn}>&-
done
curl -sS -o /dev/null "$api/proxy/echo/sneak-in-plain-sight"
expect_eq "$(curl -sS "$api/proxy/echo/how-many-sneaked")" 1 "requests made of another request's framing"

# Requests that arrive too slowly: a trickled head or body is answered 408 (a body through
# libmicrohttpd is cut), and at the connection cap the slowest busy connection makes room.
slow=$(node "$here/trickle.js" 270 3 $(($(limit httpRequestHeadDeadlineSeconds) + 4 + 3)))
expect_eq "$(jq -r .apiCheck <<<"$slow")" "200 in time" "API check beside 270 trickling clients"
expect_eq "$(jq -c .groups.head <<<"$slow")" '{"opened":1,"answered408":1,"closed":1}' "trickled head"
expect_eq "$(jq -c .groups.mhd <<<"$slow")" '{"opened":3,"answered408":0,"closed":3}' "trickled settings body"
expect_match "$(grep -c 'its request body arrives slower than' "$ORVANE_LOG")" '^[1-3]$' "trickled settings body cut"
expect_eq "$(jq '.groups.proxied | [.opened, .closed, .answered408 >= 230]' -c <<<"$slow")" '[270,270,true]' \
  "trickled proxied bodies: $slow"
request "$api/proxy/echo/after-trickle"
expect_eq "$(json_field url)" "/after-trickle" "proxy after the trickling clients"

request "$api/proxy/"
expect_answer 400 "$(json_status 400 'Http API: proxy request error - no port number found for package: ')" "no name"
request "$api/proxy/nothere/a"
expect_answer 400 "$(json_status 400 'Http API: proxy request error - no port number found for package: nothere')" \
  "unknown package"
request "$api/proxy/mute/a"
expect_answer 500 "$(json_status 500 'Http API: proxy request error - no answer from package mute')" \
  "registered package that refuses connections"
expect_reason "^Couldn't connect to server$" "registered package that refuses connections"
! grep -E '\[ Error \] *$' "$ORVANE_LOG" || fail "an empty Error line was logged"

# A package that never answers holds only its own connection, for the 10 s limit.
curl -sS -o "$work/slow-body" -w '%{http_code}' "$api/proxy/echo/slow" >"$work/slow-status" &
slow=$!
for i in 1 2 3; do
  request "$api/proxy/echo/meanwhile$i"
  expect_eq "$(json_field url)" "/meanwhile$i" "request beside a hanging one"
done
kill -0 "$slow" 2>/dev/null || fail "the hanging request ended before the others were answered"
wait "$slow"
expect_eq "$(cat "$work/slow-status")" 500 "package that never answers"
expect_match "$(tail -50 "$ORVANE_LOG")" 'Curl error: 28' "timeout logged"

# Many clients at once, some failing; afterwards every connection thread has ended.
for i in $(seq 1 40); do
  case $((i % 4)) in
    0) curl -s -o /dev/null "$api/proxy/echo/c$i" & ;;
    1) curl -s -o /dev/null "$api/proxy/mute/c$i" & ;;
    2) curl -s -o /dev/null "$api/proxy/echo/unauthorized" & ;;
    3) curl -s -o /dev/null -m 0.2 "$api/proxy/echo/big" & ;;
  esac
done
wait
threads_back() { [ "$(orvane_threads)" -le "$threads_before" ]; }
wait_until 30 threads_back || fail "threads before: $threads_before, after: $(orvane_threads)"
request "$api/api_check.cgi"
expect_answer 200 "$(json_status 200 OK)" "Orvane still answers"

# 64 clients waiting on a package that never answers cost no thread each.
sockets() { find "/proc/$ORVANE_PID/fd" -lname 'socket:*' | wc -l; }
sockets_before=$(sockets)
for i in $(seq 1 64); do curl -s -o /dev/null -m 30 "$api/proxy/echo/slow$i" & done
all_connected() { [ "$(sockets)" -ge $((sockets_before + 64)) ]; }
wait_until 20 all_connected || fail "the 64 clients did not connect: $(sockets) sockets"
request "$api/api_check.cgi"
expect_answer 200 "$(json_status 200 OK)" "answer beside 64 waiting clients"
[ "$(orvane_threads)" -le $((threads_before + 4)) ] || fail "threads before: $threads_before, with 64 waiting: $(orvane_threads)"
kill $(jobs -p) 2>/dev/null || true
pass
