#!/usr/bin/env bash
# Routing by substring, the unknown-request answer, form bodies and the listening address.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
params=$build/http_routing.params
[ -n "${ORVANE_SANDBOX:-}" ] || echo "orvane.LogLevel=trace" >"$params"
in_sandbox --params "$params"
source "$(dirname "$0")/http_helpers.bash"

request "$api/api_check.cgi"
expect_answer 200 '{"status": 200, "message": "OK"}' "API check"
request -X POST "$api/some/path/api_check.cgi/x"
expect_answer 200 "$(json_status 200 OK)" "API check by substring, POST without a body"
curl -sS -D "$work/headers" -o /dev/null "$api/api_check.cgi"
grep -qi '^Content-Type: application/json' "$work/headers" || fail "JSON status without its Content-Type"

request "$api/foo"
expect_answer 400 '{"status": 400, "message": "HttpServer: unknown request: \/foo"}' "unknown path"
grep -q 'HttpServer: unknown request: /foo' "$ORVANE_LOG" || fail "unknown request not logged"
request -X DELETE "$api/package"
expect_answer 400 "$(json_status 400 'HttpServer: unknown request: \/package')" "unknown path with another method"

# /package/list.cgi is the list, not a UI file.
request "$api/package/list.cgi"
expect_answer 200 '[]' "list rather than UI"

# Form bodies: exact Content-Type only, the last of repeated fields, "+" kept, replacing GET arguments.
mkdir -p "$work/formpkg.src/html" && echo page >"$work/formpkg.src/html/index.html"
make_package formpkg
install "storage=SD_DISK" "$work/formpkg.zip"
request --data-binary 'v=1' "$api/package/settings.cgi?package_name=formpkg&action=set"
expect_answer 200 "$(json_status 200 OK)" "settings set"
request -H 'Content-Type: application/x-www-form-urlencoded' --data-binary 'action=x&action=get&package_name=formpkg' \
  "$api/package/settings.cgi?action=set"
expect_answer 200 'v=1' "form fields replace query arguments"
request -H 'Content-Type: application/x-www-form-urlencoded; charset=utf-8' --data-binary 'action=get' \
  "$api/package/settings.cgi?package_name=formpkg&action=bogus"
expect_answer 400 "$(json_status 400 'Http API: package settings - unknown action specified')" \
  "form body with a charset is not parsed"
request -H 'Content-TYPE: application/x-www-form-urlencoded' --data-binary 'package_name=formpkg&action=g%65t' \
  "$api/package/settings.cgi"
expect_answer 200 'v=1' "percent-decoded form value, Content-Type in any letter case"

# Limits: a request head must come quickly, bodies are capped, no NUL or control character
# in a path gets through. The half head runs meanwhile, before the idle flood below.
limit() { echo $(($(sed -nE "s/.*constexpr .* $1 = ([^;]+);.*/\1/p" "$top/src/util/Limits.h"))); }
exec {half}<>/dev/tcp/127.0.0.1/22520
printf 'GET /api_check.cgi HTTP/1.1\r\nHost: x\r\n' >&"$half"
timeout $((($(limit httpRequestHeadTimeoutSeconds) + $(limit httpIdleTimeoutSeconds)) / 2)) cat <&"$half" >/dev/null &
half_reader=$!
head -c $(($(limit maxRequestBodyBytes) * 2)) /dev/zero | tr '\0' x >"$work/big"
for chunked in "" "Transfer-Encoding: chunked"; do
  request -H "$chunked" --data-binary @"$work/big" "$api/package/settings.cgi?package_name=formpkg&action=set"
  expect_eq "$status $(jq .status <<<"$body")" "413 413" "oversized body ($chunked)"
done
request "$api/package/settings.cgi?package_name=formpkg&action=get"
expect_answer 200 'v=1' "settings kept after oversized bodies"
request "$api/nope%01"
jq -e '.message == "HttpServer: unknown request: /nope\u0001"' <<<"$body" >/dev/null || fail "control character: $body"
request "$api/package/formpkg/index.html%00.png"
expect_answer 400 "$(json_status 400 'Http API: UI request error - file not found')" "NUL in a UI path"
wait "$half_reader" || fail "half a request head kept its connection open"
exec {half}<&-

# 1,100 idle connections: the API keeps answering, threads and descriptors stay bounded, and
# the limit is logged per burst, not per connection.
(
  ulimit -n 2048
  for _ in $(seq 1100); do exec {fd}<>/dev/tcp/127.0.0.1/22520; done
  echo open
  exec sleep 60
) >"$work/held" &
holder=$!
wait_until 30 grep -q open "$work/held" || fail "idle connections not opened"
for i in 1 2 3 4 5; do
  request "$api/api_check.cgi"
  expect_answer 200 "$(json_status 200 OK)" "API check with idle connections held ($i)"
done
max=$(limit maxHttpConnections)
threads=$(ls "/proc/$ORVANE_PID/task" | wc -l) fds=$(ls "/proc/$ORVANE_PID/fd" | wc -l)
[ "$threads" -lt $((max + 128)) ] && [ "$fds" -lt $((max + 256)) ] || fail "$threads threads, $fds descriptors"
kill "$holder"
reports=$(grep -c 'connection places are taken' "$ORVANE_LOG" || true)
[ "$reports" -ge 1 ] && [ "$reports" -le 3 ] || fail "connection limit logged $reports times"

# Only the loopback address listens.
ss -ltnH | awk '{print $4}' | grep -qx '127.0.0.1:22520' || fail "not listening on 127.0.0.1:22520: $(ss -ltnH)"
others=$(ss -ltnH | awk '{print $4}' | grep ':22520$' | grep -vx '127.0.0.1:22520' || true)
[ -z "$others" ] || fail "listening elsewhere too: $others"

# At level Trace every request's path and encoded arguments are logged.
request "$api/api_check.cgi?b=x%20y&a=1"
grep -qF 'Path: /api_check.cgi?a=1&b=x%20y' "$ORVANE_LOG" || fail "no Trace line for the path"
pass
