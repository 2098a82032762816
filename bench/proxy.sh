#!/usr/bin/env bash
# Throughput, latency and server CPU of the package proxy: a package's own HTTP server hit
# directly, the same through Orvane's "/proxy/", and through nginx as a reverse proxy, at 1,
# 16 and 64 concurrent keep-alive connections and at 16 connections that each carry one
# request ("Connection: close"), and at 16 keep-alive connections a PUT with a 1 KiB body and
# a POST with a chunked 1 KiB body. "floor" is bench/ByteRelay.c in front of the same package:
# bytes relayed with no HTTP read, the least CPU a proxy can spend per request here (but in
# the "close" row, where it connects to the package for every client connection while the
# others keep idle connections). The targets are measured in turn within each round, ROUNDS
# rounds, so that the noise of a shared machine falls on all of them alike; the table gives
# the worst (min, or max for latencies and CPU) and the median of the rounds. Server CPU is
# the utime+stime that Orvane's process (all of nginx's processes) spent during the run,
# per request. Installs wrk and nginx (Debian packages) when they are missing.
#   bench/proxy.sh [SECONDS] [ROUNDS]    (per measurement, default 3; rounds, default 3;
#                                         ORVANE_BUILD_DIR selects the build,
#                                         PROXY_BENCH_SCENARIOS a subset of the rows,
#                                         PROXY_BENCH_NGINX_WORKERS nginx's worker_processes,
#                                         default auto: one per core)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" != inside ]; then
  missing=()
  command -v wrk >/dev/null || missing+=(wrk)
  [ -x /usr/sbin/nginx ] || missing+=(nginx-light)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing ${missing[*]}" >&2
    apt-get install -y -qq "${missing[@]}" >/dev/null
    # The package's own service is not wanted; the benchmark runs its own instance.
    if command -v systemctl >/dev/null && systemctl is-active -q nginx 2>/dev/null; then systemctl stop nginx; fi
  fi
  exec "$top/scripts/sandbox" --start -- "$0" inside "${1:-3}" "${2:-3}"
fi
seconds=$2
rounds=$3
api=http://127.0.0.1:22520
work=/tmp/proxy-bench
mkdir -p "$work/bench.src"

curl -sS -o /dev/null "$api/node_update.cgi?storage=FLASH"
cat >"$work/bench.src/main.js" <<'JS'
const fs = require('fs');
const http = require('http');
const body = Buffer.from('{"state":"ok","value":42}');
http.createServer((req, res) => {
  res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': body.length });
  res.end(body);
}).listen(Number(process.env.HTTP_PORT), '127.0.0.1', () => fs.writeFileSync('localdata/port', process.env.HTTP_PORT));
JS
printf '{"package_name": "bench", "package_menu_name": "Bench", "package_version": "1.0.0", "vendor": "Bench"}\n' \
  >"$work/bench.src/manifest.json"
(cd "$work/bench.src" && zip -q -r "$work/bench.zip" .)
curl -sS -o /dev/null -F "file=@$work/bench.zip" "$api/package/install.cgi?storage=FLASH"
camera-sim-ctl set orvane.PackageConfigurations '{"bench":{"enabled":true}}' >/dev/null
port_file=/usr/local/packages/orvane/localdata/packages/bench/localdata/port
deadline=$(($(date +%s) + 60))
until [ -s "$port_file" ] && [ "$(curl -s -o /dev/null -w '%{http_code}' "$api/proxy/bench/")" = 200 ]; do
  [ "$(date +%s)" -lt "$deadline" ] || { echo "the package did not start"; tail -30 "$ORVANE_LOG"; exit 1; }
  sleep 0.2
done
port=$(cat "$port_file")

cat >"$work/nginx.conf" <<CONF
worker_processes ${PROXY_BENCH_NGINX_WORKERS:-auto};
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx-body;
  proxy_temp_path $work/nginx-proxy;
  upstream package { server 127.0.0.1:$port; keepalive 64; }
  server {
    listen 127.0.0.1:8088;
    location / {
      proxy_pass http://package;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
    }
  }
}
CONF
/usr/sbin/nginx -c "$work/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null || true' EXIT
deadline=$(($(date +%s) + 10))
until [ "$(curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:8088/)" = 200 ]; do
  [ "$(date +%s)" -lt "$deadline" ] || { echo "nginx did not start"; cat "$work/nginx-error.log"; exit 1; }
  sleep 0.1
done

# CPU ticks (utime+stime) of a process and its children's threads: nginx's workers are
# children of its master.
ticks_of() {
  local total=0 pid
  for pid in "$@"; do
    [ -r "/proc/$pid/stat" ] || continue
    total=$((total + $(awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$pid/stat")))
  done
  echo "$total"
}
nginx_pids() { echo "$nginx_pid" $(cat /proc/"$nginx_pid"/task/*/children 2>/dev/null); }
orvane_pid=$(pidof orvane)
hz=$(getconf CLK_TCK)

to_ms() {
  awk '{ v = $1; if (v ~ /us$/) { sub(/us$/, "", v); v /= 1000 } else if (v ~ /ms$/) { sub(/ms$/, "", v) }
         else if (v ~ /s$/) { sub(/s$/, "", v); v *= 1000 } printf "%.3f", v }' <<<"$1"
}
relay=${ORVANE_BUILD_DIR:-$top/build}/bench/byte_relay
[ -x "$relay" ] || { echo "$relay is missing: cmake --build build --target byte_relay"; exit 1; }
# As many threads as Orvane's proxy loops (Limits::proxyLoops).
"$relay" 8089 "$port" 1 &
relay_pid=$!
trap 'kill $nginx_pid $relay_pid 2>/dev/null || true' EXIT
deadline=$(($(date +%s) + 10))
until [ "$(curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:8089/)" = 200 ]; do
  [ "$(date +%s)" -lt "$deadline" ] || { echo "the byte relay did not start"; exit 1; }
  sleep 0.1
done

# Request kinds other than a GET, as wrk scripts.
kilobyte=$(head -c 1024 /dev/zero | tr '\0' b)
cat >"$work/put.lua" <<LUA
wrk.method = "PUT"
wrk.headers["Content-Type"] = "application/octet-stream"
wrk.body = "$kilobyte"
LUA
# wrk adds a Content-Length to any body it formats: this request is written whole.
cat >"$work/chunked.lua" <<LUA
init = function(args)
  text = "POST " .. wrk.path .. " HTTP/1.1\r\nHost: " .. wrk.host .. "\r\n" ..
    "Content-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n" ..
    "200\r\n${kilobyte:0:512}\r\n200\r\n${kilobyte:0:512}\r\n0\r\n\r\n"
end
request = function() return text end
LUA

# measure CONNECTIONS CLOSE KIND URL PIDS...: "requests/s p50-ms p99-ms cpu-us-per-request"
# (cpu "-" without pids); KIND is get, put or chunked.
measure() {
  local connections=$1 close=$2 kind=$3 url=$4 threads out
  shift 4
  threads=$((connections < 2 ? 1 : 2))
  local headers=()
  [ "$close" = 0 ] || headers=(-H "Connection: close")
  [ "$kind" = get ] || headers+=(-s "$work/$kind.lua")
  wrk -t "$threads" -c "$connections" -d 1s "${headers[@]}" "$url" >/dev/null 2>&1 || true
  local before after
  before=$(ticks_of "$@")
  out=$(wrk -t "$threads" -c "$connections" -d "${seconds}s" --latency "${headers[@]}" "$url")
  after=$(ticks_of "$@")
  local rps p50 p99 requests cpu=-
  rps=$(awk '/^Requests\/sec:/ { printf "%d", $2 }' <<<"$out")
  requests=$(awk '/requests in/ { print $1 }' <<<"$out")
  p50=$(to_ms "$(awk '$1 == "50%" { print $2 }' <<<"$out")")
  p99=$(to_ms "$(awk '$1 == "99%" { print $2 }' <<<"$out")")
  if grep -q 'Non-2xx' <<<"$out"; then echo "warning: non-2xx answers from $url" >&2; fi
  if grep -q 'Socket errors' <<<"$out"; then echo "warning: $(grep 'Socket errors' <<<"$out") from $url" >&2; fi
  [ $# -eq 0 ] || cpu=$(echo "($after - $before) * 1000000 / $hz / $requests" | bc -l)
  echo "$rps $p50 $p99 $cpu"
}

# stats: "min median max" of the numbers on stdin.
stats() { sort -g | awk '{ v[NR] = $1 } END { printf "%s %s %s\n", v[1], v[int((NR + 1) / 2)], v[NR] }'; }

echo "package server direct: 127.0.0.1:$port; proxy: $api/proxy/bench/; nginx: 127.0.0.1:8088 (keepalive upstream, worker_processes ${PROXY_BENCH_NGINX_WORKERS:-auto})"
echo "$(nproc) cores shared with whatever else runs; ${seconds} s per measurement, $rounds rounds interleaved"
results=$work/results
: >"$results"
# CONNECTIONS CLOSE KIND; CLOSE is 0 or 1 here, and in the results a name for the row.
scenarios=("1 0 get" "16 0 get" "64 0 get" "16 1 get" "16 0 put" "16 0 chunked")
# PROXY_BENCH_SCENARIOS="64 0 get;16 0 put" measures only those.
if [ -n "${PROXY_BENCH_SCENARIOS:-}" ]; then IFS=';' read -r -a scenarios <<<"$PROXY_BENCH_SCENARIOS"; fi
for round in $(seq "$rounds"); do
  for scenario in "${scenarios[@]}"; do
    read -r connections close kind <<<"$scenario"
    row=$close
    [ "$kind" = get ] || row=$kind
    echo "direct $connections $row $(measure "$connections" "$close" "$kind" "http://127.0.0.1:$port/")" >>"$results"
    echo "floor $connections $row $(measure "$connections" "$close" "$kind" "http://127.0.0.1:8089/" "$relay_pid")" \
      >>"$results"
    echo "proxy $connections $row $(measure "$connections" "$close" "$kind" "$api/proxy/bench/" "$orvane_pid")" >>"$results"
    echo "nginx $connections $row $(measure "$connections" "$close" "$kind" "http://127.0.0.1:8088/" $(nginx_pids))" \
      >>"$results"
  done
  echo "round $round done" >&2
done

# column TARGET CONNECTIONS CLOSE FIELD: the stats of one figure over the rounds.
column() { awk -v t="$1" -v c="$2" -v k="$3" -v f="$4" '$1 == t && $2 == c && $3 == k { print $f }' "$results" | stats; }
printf '\n%-10s %-7s | %17s | %17s | %17s | %17s\n' conns target "req/s min / med" "p50 ms med / max" \
  "p99 ms med / max" "CPU us/req med/max"
printf '%s\n' "-------------------+-------------------+-------------------+-------------------+-------------------"
for scenario in "${scenarios[@]}"; do
  read -r connections close kind <<<"$scenario"
  label=$connections
  [ "$close" = 0 ] || label="$connections close"
  [ "$kind" = get ] || { label="$connections $kind"; close=$kind; }
  for target in direct floor proxy nginx; do
    read -r r_min r_med _ < <(column "$target" "$connections" "$close" 4)
    read -r _ l_med l_max < <(column "$target" "$connections" "$close" 5)
    read -r _ t_med t_max < <(column "$target" "$connections" "$close" 6)
    if [ "$target" = direct ]; then
      cpu="-"
    else
      read -r _ c_med c_max < <(column "$target" "$connections" "$close" 7)
      cpu=$(printf '%7.1f / %7.1f' "$c_med" "$c_max")
    fi
    printf '%-10s %-7s | %7d / %7d | %7.2f / %7.2f | %7.2f / %7.2f | %17s\n' "$label" "$target" \
      "$r_min" "$r_med" "$l_med" "$l_max" "$t_med" "$t_max" "$cpu"
  done
  read -r _ p_med _ < <(column proxy "$connections" "$close" 4)
  read -r _ n_med _ < <(column nginx "$connections" "$close" 4)
  read -r _ pl _ < <(column proxy "$connections" "$close" 5)
  read -r _ dl _ < <(column direct "$connections" "$close" 5)
  read -r _ pc _ < <(column proxy "$connections" "$close" 7)
  read -r _ nc _ < <(column nginx "$connections" "$close" 7)
  read -r _ fc _ < <(column floor "$connections" "$close" 7)
  printf '%-18s | proxy/nginx req/s %.2fx, CPU %.2fx (floor/nginx CPU %.2fx); p50 added over direct %.3f ms\n' \
    "" "$(echo "$p_med / $n_med" | bc -l)" "$(echo "$pc / $nc" | bc -l)" "$(echo "$fc / $nc" | bc -l)" \
    "$(echo "$pl - $dl" | bc -l)"
done
echo "(medians over the rounds; worst: min req/s, max latency and CPU)"
