# Shared helpers of the end-to-end tests.
top=${ORVANE_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
build=${ORVANE_BUILD_DIR:-$top/build}

fail() { echo "FAIL: $*" >&2; exit 1; }
pass() { echo "PASS: $(basename "$0")"; }
expect_eq() { [ "$1" = "$2" ] || fail "$3: expected '$2', got '$1'"; }

# wait_for_log FILE REGEX SECONDS: true once a line of FILE matches REGEX.
wait_for_log() {
  local deadline=$(( $(date +%s) + $3 ))
  while [ "$(date +%s)" -le "$deadline" ]; do
    grep -qE "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# run_orvane_in_sandbox LOG [ARGS...]: starts the binary in the background, its output in LOG.
run_orvane_in_sandbox() {
  local log=$1; shift
  "$build/src/orvane" "$@" >"$log" 2>&1 &
  orvane_pid=$!
}
