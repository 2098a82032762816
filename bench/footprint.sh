#!/usr/bin/env bash
# Orvane's footprint with 0, 14 and 28 packages (copies of the hello_counter example under
# other names, installed through install.cgi and enabled), each count in a freshly started
# Orvane: its threads, private dirty memory (smaps_rollup; in brackets without the pages of
# files on tmpfs, which always count as dirty) and thread wake-ups a second
# (times its threads were scheduled in, from schedstat), idle and under a steady 100 proxied
# requests a second. The camera's timings (a 5 s package start tick), log level Info. Only
# the first 14 packages get ports (the range holds 28). Prints figures; never fails on them.
#   bench/footprint.sh [SECONDS]   (ORVANE_BUILD_DIR selects the build, default build/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" != inside ]; then
  params=$(mktemp)
  echo "orvane.LogLevel=info" >"$params"
  # The camera's flash on the build directory's disk, not on the sandbox's tmpfs: as on a
  # camera, the binary's pages are then clean pages of a file, not private dirty memory.
  flash=$(mktemp -d "${ORVANE_BUILD_DIR:-$top/build}/footprint-flash.XXXXXX")
  trap 'rm -f "$params"; rm -rf "$flash"' EXIT
  "$top/scripts/sandbox" --keep "$flash" --params "$top/tests/integration/packages_node.params" --params "$params" -- \
    "$0" inside "${1:-10}"
  exit
fi
window=$2
export ORVANE_TEST_TIMINGS=""
source "$top/tests/integration/lib.sh"
rate=100
counts=${FOOTPRINT_COUNTS:-"0 14 28"}
log=/tmp/orvane-footprint.log
work=$(mktemp -d)
api=http://127.0.0.1:22520

threads() { ls /proc/"$orvane_pid"/task | wc -l; }
dirty_kib() { awk '/^Private_Dirty/ {print $2}' /proc/"$orvane_pid"/smaps_rollup; }
# The part of it that is pages of files on tmpfs (the binary, which the sandbox keeps there):
# tmpfs pages always count as dirty, a file's pages on a camera's flash do not.
tmpfs_dirty_kib() {
  awk '/^[0-9a-f]+-[0-9a-f]+ / {t = ($4 ~ /^00:/ && $6 ~ /^\//)} /^Private_Dirty/ && t {s += $2} END {print s + 0}' \
    /proc/"$orvane_pid"/smaps
}
# "TOTAL (WITHOUT TMPFS FILES)"
dirty() { local total; total=$(dirty_kib); echo "$total ($((total - $(tmpfs_dirty_kib))))"; }
# Times each thread has been scheduled in; threads that ended meanwhile are not counted.
scheduled() { cat /proc/"$orvane_pid"/task/*/schedstat 2>/dev/null | awk '{s += $3} END {print s}'; }
# Per thread: "tid name times-scheduled".
per_thread() {
  local task
  for task in /proc/"$orvane_pid"/task/*; do
    echo "${task##*/} $(cat "$task/comm" 2>/dev/null) $(cut -d' ' -f3 "$task/schedstat" 2>/dev/null)"
  done
}
# wakeups_per_second SECONDS: over SECONDS from now, with one decimal; each thread's share
# in $work/by_thread.
wakeups_per_second() {
  local before
  per_thread >"$work/before"
  before=$(scheduled)
  sleep "$1"
  awk -v d=$(($(scheduled) - before)) -v s="$1" 'BEGIN {printf "%.1f", d / s}'
  per_thread | awk -v s="$1" 'NR == FNR {b[$1] = $3; next} ($1 in b) {w[$2] += ($3 - b[$1]) / s}
    END {for (n in w) printf "%s %.1f, ", n, w[n]}' "$work/before" - >"$work/by_thread"
}
thread_names() { cat /proc/"$orvane_pid"/task/*/comm | sort | uniq -c | awk '{printf "%s%s x%s", sep, $2, $1; sep=", "}'; }
config_of() {
  local i config="{"
  for ((i = 1; i <= $1; i++)); do config+="\"counter$i\":{\"enabled\":true},"; done
  echo "${config%,}}"
}
api_ready() { curl -s -o /dev/null "$api/api_check.cgi"; }
listening() { [ "$(grep -c '\] counter[0-9]*: listening' "$log")" -ge "$1" ]; }
start() {
  # Written back, so that the page cache holds the binary's pages clean, as a camera's does.
  sync
  orvane_start "$log" console
  wait_until 30 api_ready || { tail -20 "$log"; fail "Orvane not ready"; }
}

# The copies, installed once.
unzip -q "$build/examples/hello_counter.zip" -d "$work/pkg"
start
for ((i = 1; i <= 28; i++)); do
  sed -i -E "s/\"package_name\": *\"[^\"]*\"/\"package_name\": \"counter$i\"/" "$work/pkg/manifest.json"
  (cd "$work/pkg" && rm -f "$work/counter.zip" && zip -qr "$work/counter.zip" .)
  curl -sS -o /dev/null -F "package=@$work/counter.zip" "$api/package/install.cgi?storage=FLASH"
done
orvane_stop TERM

printf '%-8s  %-5s  %7s  %-22s  %9s  %s\n' packages load threads "dirty KiB (w/o tmpfs)" "wakeups/s" "answered, p50/p99 ms"
for n in $counts; do
  camera-sim-ctl set orvane.PackageConfigurations "$(config_of "$n")" >/dev/null
  start
  wait_until 60 listening "$n" || fail "not all of $n packages came up: $(grep -v "Start package" "$log" | tail -15)"
  # Start-up's own work (the first tick, the packages' first lines) is over by then.
  sleep 8
  idle_wakeups=$(wakeups_per_second "$window")
  printf '%-8s  %-5s  %7s  %-22s  %9s\n' "$n" idle "$(threads)" "$(dirty)" "$idle_wakeups"
  if [ "$n" = 0 ]; then
    names_idle=$(thread_names)
    wakers_idle=$(cat "$work/by_thread")
  fi
  if [ "$n" != 0 ]; then
    # A package that has a port: the first ones do.
    target=""
    for ((i = 1; i <= n; i++)); do
      if [ "$(curl -s -o /dev/null -w '%{http_code}' "$api/proxy/counter$i/api/counter")" = 200 ]; then
        target=counter$i
        break
      fi
    done
    [ -n "$target" ] || fail "no package answers through the proxy"
    node "$top/bench/steady_get.js" "/proxy/$target/api/counter" "$rate" $((window + 4)) >"$work/load" &
    loader=$!
    sleep 2
    load_wakeups=$(wakeups_per_second "$window")
    load_threads=$(threads)
    load_dirty=$(dirty)
    wait "$loader"
    read -r sent answered p50 p99 <"$work/load"
    printf '%-8s  %-5s  %7s  %-22s  %9s  %s of %s, %s/%s\n' "$n" "$rate/s" "$load_threads" "$load_dirty" \
      "$load_wakeups" "$answered" "$sent" "$p50" "$p99"
  fi
  orvane_stop TERM
done
echo "threads of an idle Orvane without packages: $names_idle"
echo "their wake-ups a second: ${wakers_idle%, }"
rm -rf "$work"
