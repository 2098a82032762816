#!/usr/bin/env bash
# The camera-events protocol end to end: a Node.js WebSocket client against the real
# binary and the simulator's event system.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[ -d "$top/tests/node_modules/ws" ] || (cd "$top/tests" && npm ci --silent --no-audit --no-fund >/dev/null)
"$top/scripts/sandbox" --no-node --start -- node "$top/tests/integration/ws/protocol.js" || fail "camera-events protocol"
pass
