#!/usr/bin/env bash
# Package runtime figures with 28 Node.js packages that print a line a second (their log
# rings filled first): time from the configuration change to all 28 processes running,
# Orvane's CPU and resident memory while they idle and while a client polls status.cgi
# STATUS_HZ times a second (default 10) and every package's log.cgi LOG_HZ times a second
# (default 1), its threads and resident memory with 0, 14 and 28 packages (14 in a run of
# its own first), and how long stopping all of them takes at SIGTERM. Only 14 packages get
# ports (the range holds 28).
#   bench/packages.sh      (ORVANE_BUILD_DIR selects the build, default build/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" != inside ]; then
  exec "$top/scripts/sandbox" --params "$top/tests/integration/packages_node.params" -- \
    "$top/bench/$(basename "$0")" inside
fi
source "$top/tests/integration/lib.sh"
count=28
root=$orvane_app_dir/localdata/packages
# config_of N: the configuration that enables bench1..benchN.
config_of() {
  local i config="{"
  for i in $(seq 1 "$1"); do config+="\"bench$i\":{\"enabled\":true},"; done
  echo "${config%,}}"
}
for i in $(seq 1 $count); do
  name=bench$i
  mkdir -p "$root/$name"
  printf '{"package_name":"%s","package_menu_name":"%s","package_version":"1","vendor":"Bench"}\n' $name $name \
    >"$root/$name/manifest.json"
  # Fills its log ring, then prints a line a second; exits on SIGTERM (Node's default).
  cat >"$root/$name/main.js" <<'EOF'
for (let i = 0; i < 1000; i++) console.log('line ' + i + ' ' + '.'.repeat(70));
console.log('up');
let n = 0;
setInterval(() => console.log('tick ' + n++), 1000);
EOF
done
config=$(config_of $count)

log=/tmp/orvane-bench.log
now_ms() { echo $((${EPOCHREALTIME//[.,]/} / 1000)); }
rss_kb() { awk '/^VmRSS/ {print $2}' /proc/"$orvane_pid"/status; }
cpu_ticks() { awk '{print $14 + $15}' /proc/"$orvane_pid"/stat; }
threads() { ls /proc/"$orvane_pid"/task | wc -l; }
switches() { cat /proc/"$orvane_pid"/task/*/status | awk '/voluntary_ctxt_switches/ {s += $2} END {print s}'; }

api_ready() { curl -s -o /dev/null http://127.0.0.1:22520/api_check.cgi; }
half=$((count / 2))
orvane_start "$log" console
wait_until 30 api_ready || { cat "$log"; fail "Orvane not ready"; }
camera-sim-ctl set orvane.PackageConfigurations "$(config_of $half)"
half_up() { [ "$(grep -c '\] bench[0-9]*: up$' "$log")" -ge $half ]; }
wait_until 30 half_up || fail "not all of $half packages came up: $(tail -20 "$log")"
sleep 4
rss_half=$(rss_kb)
threads_half=$(threads)
camera-sim-ctl set orvane.PackageConfigurations '{}'
orvane_stop TERM

orvane_start "$log" console
wait_until 30 api_ready || { cat "$log"; fail "Orvane not ready"; }
sleep 6
rss_idle=$(rss_kb)
threads_idle=$(threads)

start=$(now_ms)
camera-sim-ctl set orvane.PackageConfigurations "$config"
all_up() { [ "$(grep -c '\] bench[0-9]*: up$' "$log")" -ge $count ]; }
wait_until 30 all_up || fail "not all packages came up: $(tail -20 "$log")"
started_ms=$(($(now_ms) - start))

sleep 2
window=10
ticks_before=$(cpu_ticks)
switches_before=$(switches)
sleep $window
ticks=$(($(cpu_ticks) - ticks_before))
wakeups=$(($(switches) - switches_before))
rss_full=$(rss_kb)
threads_full=$(threads)
hz=$(getconf CLK_TCK)

names=$(seq -f 'bench%g' 1 $count)
out=$(mktemp)
# shellcheck disable=SC2086
node "$top/bench/status_poll.js" $names >"$out" &
poller=$!
sleep 2
ticks_before=$(cpu_ticks)
sleep $window
polled_ticks=$(($(cpu_ticks) - ticks_before))
rss_polled=$(rss_kb)
kill -TERM "$poller"
wait "$poller" || true
read -r requests lines failures <"$out"

stop_start=$(now_ms)
orvane_stop TERM
stop_ms=$(($(now_ms) - stop_start))
ms_of() { local t=${1:11:12}; echo $(((10#${t:0:2} * 3600 + 10#${t:3:2} * 60 + 10#${t:6:2}) * 1000 + 10#${t:9:3})); }
stop_all_ms=$(($(ms_of "$(grep 'Exit$' "$log")") - $(ms_of "$(grep 'Stop all packages$' "$log")")))

echo "packages:                          $count (Node.js programs printing a line a second)"
echo "configuration change to all up:    ${started_ms} ms (500 ms settling, then the next 5 s tick)"
echo "Orvane CPU, packages idle:         $((ticks * 1000 / hz)) ms over ${window} s ($((ticks * 1000 / hz / window)) ms/s)"
echo "Orvane CPU, polled:                $((polled_ticks * 1000 / hz)) ms over ${window} s ($((polled_ticks * 1000 / hz / window)) ms/s; status.cgi ${STATUS_HZ:-10}/s, log.cgi ${LOG_HZ:-1}/s per package)"
echo "resident memory idle / polled:     ${rss_full} / ${rss_polled} KiB"
echo "poller:                            ${requests} requests, ${lines} log lines, ${failures} failures"
echo "Orvane thread wake-ups, idle:      ${wakeups} over ${window} s (all threads)"
echo "packages  threads  resident memory"
for row in "0 $threads_idle $rss_idle" "$half $threads_half $rss_half" "$count $threads_full $rss_full"; do
  read -r n t r <<<"$row"
  printf '%8s  %7s  %s KiB\n' "$n" "$t" "$r"
done
echo "per package:                       $(((rss_full - rss_idle) / count)) KiB"
echo "stopAll (Stop all packages..Exit): ${stop_all_ms} ms"
echo "SIGTERM to exit:                   ${stop_ms} ms, exit status ${orvane_status}"
