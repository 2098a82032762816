#!/usr/bin/env bash
# The example packages' WebSocket client against a real WebSocket server (npm ws).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[ -d "$top/tests/node_modules/ws" ] || fail "tests/node_modules/ws is missing (npm ci in tests/)"
node "$top/tests/integration/examples/wsclient.js" || fail "wsclient checks"
pass
