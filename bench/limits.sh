#!/usr/bin/env bash
# Orvane under the load its limits are for: idle HTTP and WebSocket connections held while
# the API is called, a camera-events client that never reads, an upload of 10,000 parts.
# Prints Orvane's resident memory and descriptors before and after; never fails on a time.
#   bench/limits.sh [FLOOD_SECONDS]     (ORVANE_BUILD_DIR selects the build, default build/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" != inside ]; then
  [ -d "$top/tests/node_modules/ws" ] || (cd "$top/tests" && npm ci --silent --no-audit --no-fund >/dev/null)
  params=$(mktemp)
  trap 'rm -f "$params"' EXIT
  echo "orvane.LogLevel=info" >"$params"
  "$top/scripts/sandbox" --no-node --params "$params" --start -- "$0" inside "${1:-30}"
  exit
fi
flood_seconds=$2
# Thousands of sockets in one client and in Orvane.
ulimit -n 65536 2>/dev/null || ulimit -n 4096
orvane_pid=$(pidof orvane)
figures() {
  printf '%s: RSS %d KiB, %d descriptors, %d threads\n' "$1" \
    "$(awk '/^VmRSS:/ {print $2}' "/proc/$orvane_pid/status")" \
    "$(ls "/proc/$orvane_pid/fd" | wc -l)" "$(awk '/^Threads:/ {print $2}' "/proc/$orvane_pid/status")"
}

figures "Orvane at start"
echo "1,100 idle HTTP connections and 200 WebSocket connections held, /api_check.cgi called 1,000 times"
node "$top/bench/limits.js" hold 1100 200 1000
sleep 1
figures "Orvane after the connections closed"

echo "a camera-events client that sends and never reads"
node "$top/bench/limits.js" flood "$flood_seconds" "$orvane_pid"
figures "Orvane after the flood"

body=/tmp/parts.body
python3 - "$body" <<'PY'
import sys
with open(sys.argv[1], 'wb') as out:
    for i in range(10000):
        out.write(b'--B\r\nContent-Disposition: form-data; name="f%d"; filename="f%d.zip"\r\n'
                  b'Content-Type: application/zip\r\n\r\nxx\r\n' % (i, i))
    out.write(b'--B--\r\n')
PY
read -r seconds status < <(curl -sS -o /tmp/parts.answer -w '%{time_total} %{http_code}\n' \
  -H 'Content-Type: multipart/form-data; boundary=B' --data-binary "@$body" \
  'http://127.0.0.1:22520/package/install.cgi?storage=FLASH')
printf 'upload of 10,000 file parts (%d KiB): answer %s in %.2f s: %s\n' \
  $(( $(stat -c %s "$body") / 1024 )) "$status" "$seconds" "$(head -c 200 /tmp/parts.answer)"
figures "Orvane at the end"
echo "leftover upload files: $(find /usr/local/packages /var/spool/storage -type f -newer "$body" | wc -l)"
