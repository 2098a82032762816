#!/usr/bin/env bash
# The camera-events protocol, then hostile and broken clients, against the real binary; the
# WebSocket port is bound to the loopback address only.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[ -d "$top/tests/node_modules/ws" ] || (cd "$top/tests" && npm ci --silent --no-audit --no-fund >/dev/null)
in_sandbox --no-node
for script in protocol robustness; do
  node "$top/tests/integration/ws/$script.js" || fail "camera-events: $script"
done
listening=$(ss -ltnH | awk '{print $4}' | grep ':22521$')
[[ $listening =~ ^(127\.0\.0\.1|\[::ffff:127\.0\.0\.1\]):22521$ ]] || fail "WebSocket port bound to: $listening"
pass
