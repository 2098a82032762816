#!/usr/bin/env bash
# Throughput and latency of the package proxy: a package's own HTTP server hit directly,
# the same through Orvane's "/proxy/", and through nginx as a reverse proxy, at 1, 16 and 64
# concurrent keep-alive connections, printed side by side. Installs wrk and nginx (Debian
# packages) when they are missing.
#   bench/http2_proxy.sh [SECONDS]     (per measurement, default 5; ORVANE_BUILD_DIR selects the build)
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
  exec "$top/scripts/sandbox" --start -- "$0" inside "${1:-5}"
fi
seconds=$2
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
worker_processes auto;
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

# measure CONNECTIONS URL: "requests/s p50-ms p99-ms" from wrk's latency distribution.
to_ms() {
  awk '{ v = $1; if (v ~ /us$/) { sub(/us$/, "", v); v /= 1000 } else if (v ~ /ms$/) { sub(/ms$/, "", v) }
         else if (v ~ /s$/) { sub(/s$/, "", v); v *= 1000 } printf "%.3f", v }' <<<"$1"
}
measure() {
  local threads=$(($1 < 2 ? 1 : 2)) out
  wrk -t "$threads" -c "$1" -d 1s "$2" >/dev/null 2>&1 || true
  out=$(wrk -t "$threads" -c "$1" -d "${seconds}s" --latency "$2")
  local rps p50 p99
  rps=$(awk '/^Requests\/sec:/ { printf "%d", $2 }' <<<"$out")
  p50=$(to_ms "$(awk '$1 == "50%" { print $2 }' <<<"$out")")
  p99=$(to_ms "$(awk '$1 == "99%" { print $2 }' <<<"$out")")
  if grep -q 'Non-2xx' <<<"$out"; then echo "warning: non-2xx answers from $2" >&2; fi
  echo "$rps $p50 $p99"
}

echo "package server direct: 127.0.0.1:$port; proxy: $api/proxy/bench/; nginx: 127.0.0.1:8088 (keepalive upstream)"
echo "$(nproc) cores shared with whatever else runs; ${seconds} s per measurement"
printf '\n%5s | %21s | %21s | %21s | %11s | %12s\n' conns "direct rps p50 p99" "/proxy/ rps p50 p99" \
  "nginx rps p50 p99" "proxy/nginx" "proxy+ p50"
printf '%s\n' "------+-----------------------+-----------------------+-----------------------+-------------+-------------"
for connections in 1 16 64; do
  read -r d_rps d_p50 d_p99 < <(measure "$connections" "http://127.0.0.1:$port/")
  read -r p_rps p_p50 p_p99 < <(measure "$connections" "$api/proxy/bench/")
  read -r n_rps n_p50 n_p99 < <(measure "$connections" "http://127.0.0.1:8088/")
  printf '%5d | %7d %6.2f %6.2f | %7d %6.2f %6.2f | %7d %6.2f %6.2f | %10.2fx | %9.3f ms\n' "$connections" \
    "$d_rps" "$d_p50" "$d_p99" "$p_rps" "$p_p50" "$p_p99" "$n_rps" "$n_p50" "$n_p99" \
    "$(echo "$p_rps / $n_rps" | bc -l)" "$(echo "$p_p50 - $d_p50" | bc -l)"
done
echo "(latencies in ms; proxy/nginx: throughput ratio; proxy+ p50: p50 through /proxy/ less p50 direct)"
