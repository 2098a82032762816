#!/usr/bin/env bash
# The camera-events protocol, then hostile and broken clients, against the real binary; the
# WebSocket port is bound to the loopback address only.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[ -d "$top/tests/node_modules/ws" ] || (cd "$top/tests" && npm ci --silent --no-audit --no-fund >/dev/null)
"$top/scripts/sandbox" --no-node --start -- bash -c '
  for script in protocol robustness; do
    node "$ORVANE_SOURCE_DIR/tests/integration/ws/$script.js" || { echo "FAIL: $script" >&2; exit 1; }
  done
  listening=$(ss -ltnH | awk "{print \$4}" | grep ":22521\$")
  case $listening in 127.0.0.1:22521 | "[::ffff:127.0.0.1]:22521") ;;
    *) echo "FAIL: WebSocket port bound to: $listening" >&2; exit 1 ;;
  esac' ||
  fail "camera-events"
pass
