# Shared helpers of the end-to-end tests. A test sources this file and calls
#   in_sandbox [--no-sd] [--no-node] [--params FILE] [--host-net] [--no-start]
# which re-runs it inside scripts/sandbox with Orvane started (output in $ORVANE_LOG, pid in
# $ORVANE_PID) unless --no-start; orvane_start/orvane_stop run it by hand.

top=${ORVANE_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
build=${ORVANE_BUILD_DIR:-$top/build}
orvane_app_dir=/usr/local/packages/orvane

# Packages start at a tick of Orvane's: a 1 s one (5 s on a camera) keeps the waits short.
export ORVANE_TEST_TIMINGS=${ORVANE_TEST_TIMINGS-tick=1}

fail() { echo "FAIL: $*" >&2; exit 1; }
pass() { echo "PASS: $(basename "$0")"; }
expect_eq() { [ "$1" = "$2" ] || fail "$3: expected '$2', got '$1'"; }
# expect_match TEXT REGEX WHAT: TEXT has a line matching the extended REGEX.
expect_match() { grep -qE -- "$2" <<<"$1" || fail "$3: no line matching '$2' in: $1"; }

in_sandbox() {
  [ -z "${ORVANE_SANDBOX:-}" ] || return 0
  local options=() start=--start
  while [ $# -gt 0 ]; do
    case $1 in
      --no-start) start="" ;;
      --params) options+=("$1" "$2"); shift ;;
      *) options+=("$1") ;;
    esac
    shift
  done
  [ -z "$start" ] || options+=("$start")
  ORVANE_BUILD_DIR=$build ORVANE_SOURCE_DIR=$top exec "$top/scripts/sandbox" "${options[@]}" -- bash "$0"
}

# limit NAME: a constant of Orvane's src/util/Limits.h, so that the tests follow it.
limit() { echo $(($(sed -nE "s/.*constexpr .* $1 = ([^;]+);.*/\1/p" "$top/src/util/Limits.h"))); }

# wait_until SECONDS COMMAND...: true once COMMAND succeeds, false after SECONDS.
wait_until() {
  local deadline=$((${EPOCHREALTIME//[.,]/} + $1 * 1000000))
  shift
  until "$@"; do
    [ "${EPOCHREALTIME//[.,]/}" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# wait_for_log FILE REGEX SECONDS: true once a line of FILE matches the extended REGEX.
wait_for_log() {
  wait_until "$3" grep -qE -- "$2" "$1" 2>/dev/null
}

# orvane_start LOG [ARGS...]: starts Orvane in its application directory, its output in
# LOG, its process id in orvane_pid.
orvane_start() {
  local log=$1
  shift
  (cd "$orvane_app_dir" && exec ./orvane "$@") >"$log" 2>&1 &
  orvane_pid=$!
}

# orvane_stop [SIGNAL]: signals Orvane (SIGTERM by default) and waits for it; its exit
# status in orvane_status.
orvane_stop() {
  kill -"${1:-TERM}" "$orvane_pid" 2>/dev/null || true
  orvane_status=0
  wait "$orvane_pid" || orvane_status=$?
}

# VAPIX as Orvane reaches it: 127.0.0.12 at System.BoaPort, with the issued credentials.
vapix_port() { camera-sim-ctl get System.BoaPort; }
vapix_credentials() { camera-sim-ctl credentials; }

# vapix_curl PATH [CURL ARGS...]: the body of a Digest-authenticated request; the HTTP
# status in the file $vapix_status_file (see vapix_status).
vapix_status_file=${TMPDIR:-/tmp}/vapix-status.$$
vapix_curl() {
  local path=$1
  shift
  curl -s --digest -u "$(vapix_credentials)" -w '%{stderr}%{http_code}' "$@" \
    "http://127.0.0.12:$(vapix_port)$path" 2>"$vapix_status_file"
}
vapix_status() { cat "$vapix_status_file"; }
vapix_set() { vapix_curl /axis-cgi/param.cgi --data action=update --data-urlencode "$1=$2"; }
