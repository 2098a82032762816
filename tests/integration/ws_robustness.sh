#!/usr/bin/env bash
# Hostile and broken WebSocket clients against the real binary, then a listener check:
# the WebSocket port is bound to the loopback address, not to every address of the host.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[ -d "$top/tests/node_modules/ws" ] || (cd "$top/tests" && npm ci --silent --no-audit --no-fund >/dev/null)
"$top/scripts/sandbox" --no-node --start -- bash -c '
  node "$ORVANE_SOURCE_DIR/tests/integration/ws/robustness.js" || { echo "FAIL: robustness" >&2; exit 1; }
  ip addr add 10.254.0.1/32 dev lo || exit 3
  node -e "
    const net = require(\"net\");
    const attempt = (host) => new Promise((resolve) => {
      const socket = net.connect(22521, host);
      socket.once(\"connect\", () => { socket.destroy(); resolve(true); });
      socket.once(\"error\", () => resolve(false));
    });
    (async () => {
      const loopback = await attempt(\"127.0.0.1\"), other = await attempt(\"10.254.0.1\");
      console.log(loopback, other);
      process.exit(loopback && !other ? 0 : 1);
    })();" || { echo "FAIL: the WebSocket port must be bound to 127.0.0.1 only" >&2; exit 1; }' || fail "camera-events robustness"
pass
