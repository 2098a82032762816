#!/usr/bin/env bash
# A package printing short lines as fast as it can for SECONDS (default 15): Orvane's CPU
# (share of one core), how fast its log grows, how many lines a second the package got out,
# and api_check's slowest answer meanwhile; with Orvane's per-package limits (lines copied
# into its log, bytes read of the output), with the copy limit lifted, and with both
# lifted, in alternating rounds (ROUNDS of each, default 2).
#   bench/flood.sh      (ORVANE_BUILD_DIR selects the build, default build/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" != inside ]; then
  exec "$top/scripts/sandbox" --params "$top/tests/integration/packages_node.params" -- \
    "$top/bench/$(basename "$0")" inside
fi
source "$top/tests/integration/lib.sh"
source "$top/tests/integration/packages_helpers.bash"
seconds=${SECONDS_PER_ROUND:-15}
rounds=${ROUNDS:-2}
ticks=$(getconf CLK_TCK)
install_package lines

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
last_line() { package_api 'log.cgi?package_name=lines&limit=1000' | jq -r '[.lines[] | select(.stream == "out")][-1].text' | cut -d' ' -f2; }

round() {
  local label=$1 log=/tmp/orvane-flood.log
  ORVANE_TEST_TIMINGS=tick=1$2 orvane_start "$log" console
  wait_until 20 curl -sf -o /dev/null http://127.0.0.1:22520/api_check.cgi || { echo "Orvane did not start"; exit 1; }
  enable_packages '{"lines":{"enabled":true}}'
  wait_until 20 grep -q '\] lines: line ' "$log" || wait_until 20 test "$(last_line)" != null
  sleep 1
  local size0 cpu0 line0 slowest=0 t
  size0=$(stat -c %s "$log"); cpu0=$(cpu_ticks "$orvane_pid"); line0=$(last_line)
  local end=$((SECONDS + seconds))
  while [ $SECONDS -lt $end ]; do
    t=$(curl -s -o /dev/null -w '%{time_total}' http://127.0.0.1:22520/api_check.cgi)
    slowest=$(awk -v a="$slowest" -v b="$t" 'BEGIN { print (b > a) ? b : a }')
    sleep 0.5
  done
  local size1 cpu1 line1
  size1=$(stat -c %s "$log"); cpu1=$(cpu_ticks "$orvane_pid"); line1=$(last_line)
  awk -v l="$label" -v c=$((cpu1 - cpu0)) -v hz="$ticks" -v s="$seconds" -v b=$((size1 - size0)) \
    -v n=$((line1 - line0)) -v w="$slowest" \
    'BEGIN { printf "%-14s %8.1f %% %12.0f %14.0f %12.1f\n", l, 100 * c / hz / s, b / s, n / s, w * 1000 }'
  enable_packages '{}'
  orvane_stop TERM
}

printf '%-14s %10s %12s %14s %12s\n' "limits" "CPU" "log B/s" "package lines/s" "api_check ms"
for i in $(seq 1 "$rounds"); do
  round "both" ""
  round "copy lifted" ,lograte=100000000
  round "both lifted" ,lograte=100000000,outrate=10000000000
done
