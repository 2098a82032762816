#!/usr/bin/env bash
# Packages as hostile code, with cgroups (where the sandbox can make one) and with process
# groups alone: whatever a package starts ends with it at every stop, a killed Orvane leaves
# no second instance, and a memory limit holds.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/packages_helpers.bash"
export ORVANE_TEST_TIMINGS=tick=1,short=5,crashes=3,delay=2,max=4,stable=30
if [ -z "${ORVANE_SANDBOX:-}" ]; then
  for mode in --no-cgroup ""; do
    ORVANE_BUILD_DIR=$build ORVANE_SOURCE_DIR=$top "$top/scripts/sandbox" \
      --params "$(dirname "$0")/packages_node.params" --start $mode -- bash "$0" || exit 1
  done
  pass
  exit 0
fi

log=$ORVANE_LOG
containment=process_group
[ -z "$ORVANE_SANDBOX_CGROUP" ] || containment=cgroup
echo "containment: $containment"
orvane_pid=$ORVANE_PID
alive() { kill -0 "$orvane_pid" || fail "Orvane ended: $(tail -30 "$log")"; }
status_of() { package_api "status.cgi?package_name=$1" | jq -c "$2"; }

# package_procs NAME: the live processes started for the package NAME (its environment
# names it; a zombie's is empty). A child in a session of its own ("sleep 1001") only a
# cgroup holds: with process groups alone it is not counted.
package_procs() {
  local dir
  for dir in /proc/[0-9]*; do
    [ -r "$dir/environ" ] || continue
    { tr '\0' '\n' <"$dir/environ"; } 2>/dev/null | grep -qx "PACKAGE_NAME=$1" || continue
    if [ "$containment" = process_group ] && [ "$({ tr '\0' ' ' <"$dir/cmdline"; } 2>/dev/null)" = "sleep 1001 " ]; then
      continue
    fi
    echo "${dir#/proc/}"
  done
}
count_procs() { package_procs "$1" | wc -l; }
show_procs() { local p; for p in $(package_procs "$1"); do cat /proc/$p/stat 2>/dev/null; grep Threads /proc/$p/status 2>/dev/null; done; }
none_left() { [ "$(count_procs "$1")" = 0 ]; }
# expect_none_left NAME WHAT: nothing of NAME is left, at once (the stop has completed).
expect_none_left() { none_left "$1" || fail "$2: processes of $1 left: $(show_procs "$1")"; }
# expect_gone PIDS WHAT: none of PIDS (an earlier run's) is alive, at once; the next start
# tick may already have started the package again.
expect_gone() {
  local pid state left=""
  for pid in $1; do
    state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null || true)
    [ -z "$state" ] || [ "$state" = Z ] || left+=" $pid"
  done
  [ -z "$left" ] || fail "$2: processes of the earlier run left:$left"
}
all_started() { [ "$(count_procs hostile)" -ge 5 ]; }

work=$(mktemp -d)
(cd "$test_packages/hostile" && zip -qr "$work/hostile.zip" .)
mkdir -p "$work/data" && echo '{"a":1}' >"$work/data/settings.json"
(cd "$work/data" && zip -qr "$work/data.zip" .)
install_package envpkg
install_package hostile
install_package forker
install_package hog
enable_packages '{"envpkg":{"enabled":true},"hostile":{"enabled":true},"forker":{"enabled":true}}'
wait_until 15 all_started || fail "hostile did not start its children: $(package_procs hostile)"
expect_eq "$(status_of hostile .containment)" "\"$containment\"" "containment in status.cgi"

# Every stop ends the whole tree: disabling (the TERM-ignoring children within the grace
# period and a second), removal, re-install, data import; each waits for the stop.
enable_packages '{"envpkg":{"enabled":true},"forker":{"enabled":true}}'
wait_until 4 none_left hostile || fail "disabled: $(show_procs hostile)"
enable_packages '{"envpkg":{"enabled":true},"hostile":{"enabled":true},"forker":{"enabled":true}}'
wait_until 15 all_started || fail "hostile not started again"
before=$(package_procs hostile)
expect_eq "$(curl -sS -F "pkg=@$work/hostile.zip" 'http://127.0.0.1:22520/package/install.cgi?storage=FLASH')" \
  '{"status": 200, "message": "OK"}' "re-install"
expect_gone "$before" "after the re-install"
wait_until 15 all_started || fail "hostile not started after the re-install"
before=$(package_procs hostile)
expect_eq "$(curl -sS -F "data=@$work/data.zip" 'http://127.0.0.1:22520/package/data.cgi?package_name=hostile&action=IMPORT')" \
  '{"status": 200, "message": "OK"}' "data import"
expect_gone "$before" "after the data import"
wait_until 15 all_started || fail "hostile not started after the data import"
expect_eq "$(package_api 'remove.cgi?package_name=hostile')" '{"status": 200, "message": "OK"}' "removal"
expect_none_left hostile "after the removal"

# A package that leaves a child on its port and ends, again and again: what it leaves is
# ended with each run, so nothing piles up and nothing answers for it in its crash loop.
in_loop() { [ "$(status_of forker .state)" = '"crash_loop"' ]; }
wait_until 20 in_loop || fail "forker not in a crash loop: $(status_of forker .)"
wait_until 3 none_left forker || fail "forker's children outlived it: $(show_procs forker)"
[ "$(curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:22520/proxy/forker/)" != 200 ] ||
  fail "a leftover of forker answers on its port"

# A package over its memory limit is stopped and says why; the others run on.
env_pid=$(package_pid "$log" envpkg)
enable_packages '{"envpkg":{"enabled":true},"hog":{"enabled":true,"memory_limit_mib":128}}'
hog_stopped() { [ "$(status_of hog .last_exit.cause)" = '"memory_limit"' ]; }
wait_until 30 hog_stopped || fail "hog not stopped for its memory: $(status_of hog .) $(tail -5 "$log")"
expect_eq "$(status_of hog .memory_limit_mib)" 128 "memory limit in status.cgi"
expect_match "$(cat "$log")" '\[ Warning \] Package hog: memory limit 128 MiB exceeded \(resident [0-9]+ MiB\)$' "memory limit line"
[ "$(grep -oP 'hog: memory limit 128 MiB exceeded \(resident \K[0-9]+' "$log" | head -1)" -gt 128 ] || fail "stopped below its limit"
expect_match "$(cat "$log")" '\] hog: execArgv --use-openssl-ca --max-old-space-size=96$' "V8 heap sized by the limit"
kill -0 "$env_pid" || fail "envpkg stopped by hog's limit"
# An invalid limit is refused and the previous one stays.
enable_packages '{"envpkg":{"enabled":true},"hog":{"enabled":true,"memory_limit_mib":-5}}'
wait_for_log "$log" '\[ Error   \] Orvane - Invalid memory limit of package hog' 5 || fail "invalid limit not refused"
expect_eq "$(status_of hog .memory_limit_mib)" 128 "limit kept after an invalid value"

# Orvane killed with SIGKILL and started again: the old tree is ended before anything
# starts, and one instance of each enabled package runs.
enable_packages '{"envpkg":{"enabled":true},"hostile":{"enabled":true}}'
install_package hostile
wait_until 15 all_started || fail "hostile not started before the kill"
old_procs=$(package_procs hostile | sort)
kill -KILL "$orvane_pid"
orvane_start "$work/orvane2.log" console
log=$work/orvane2.log
one_instance() {
  [ "$(package_api 'status.cgi?package_name=hostile' | jq -r .state)" = running ] && all_started &&
    [ -z "$(comm -12 <(package_procs hostile | sort) <(echo "$old_procs"))" ]
}
wait_until 15 one_instance || fail "after the restart: old $(echo $old_procs), now $(show_procs hostile)"
mains=$(for pid in $(package_procs hostile); do tr '\0' ' ' <"/proc/$pid/cmdline"; echo; done | grep -c 'main.js')
expect_eq "$mains" 1 "instances of hostile after the restart"
expect_match "$(cat "$log")" '\[ Warning \] Package hostile: ending [0-9]+ processes left running by an earlier Orvane' "leftovers logged"
[ "$(curl -s http://127.0.0.1:22520/proxy/hostile/)" = "hostile $(package_pid "$log" hostile)" ] ||
  fail "the proxy does not reach the new instance"

# Shutdown leaves nothing behind.
orvane_stop TERM
expect_eq "$orvane_status" 0 "exit status"
expect_none_left hostile "after the shutdown"
expect_none_left envpkg "after the shutdown"
echo "PASS: $containment"
