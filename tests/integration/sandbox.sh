#!/usr/bin/env bash
# scripts/sandbox itself, from outside: the camera's layout and options, COMMAND's exit
# status, and nothing left running after a failing or an interrupted COMMAND (every
# process of the sandbox's PID namespace is gone). Also as a normal user when possible.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[ -z "${ORVANE_SANDBOX:-}" ] || fail "run this test outside a sandbox"
export ORVANE_BUILD_DIR=$build ORVANE_SOURCE_DIR=$top
sandbox=$top/scripts/sandbox

# Outside /tmp, which the sandbox replaces by its own.
work=$(mktemp -d "$build/sandbox-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# processes_in NS: the host's processes in the PID namespace NS (as readlink shows it).
processes_in() {
  local dir
  for dir in /proc/[0-9]*; do
    [ "$(readlink "$dir/ns/pid" 2>/dev/null)" != "$1" ] || echo "${dir#/proc/}"
  done
}
no_process_in() { [ -z "$(processes_in "$1")" ]; }

# The layout, the private /tmp, loopback with 127.0.0.12, options and parameters.
touch /tmp/sandbox-host-marker.$$
printf 'orvane.LogLevel=trace\n!Brand.Brand\n' >"$work/params"
out=$("$sandbox" --no-sd --no-node --params "$work/params" -- bash -c '
  set -e
  ls /usr/local/packages/orvane | tr "\n" " "; echo
  ls /usr/local/packages/orvane/tools | tr "\n" " "; echo
  [ -e /var/spool/storage/SD_DISK ] && echo sd || echo no-sd
  [ -e /tmp/sandbox-host-marker.'$$' ] && echo host-tmp || echo private-tmp
  camera-sim-ctl get orvane.LogLevel
  camera-sim-ctl get Brand.Brand 2>/dev/null || echo no-brand
  curl -s -o /dev/null -w "%{http_code}\n" http://127.0.0.12:$(camera-sim-ctl get System.BoaPort)/axis-cgi/param.cgi
  /usr/local/packages/orvane/tools/mDNSClient | wc -l
  echo "camA 192.168.0.9" >/usr/local/packages/orvane/tools/mdns-answers.txt
  /usr/local/packages/orvane/tools/mDNSClient
  echo "$ORVANE_SANDBOX $DBUS_SYSTEM_BUS_ADDRESS"')
rm -f /tmp/sandbox-host-marker.$$
expect_eq "$out" "html lib32 localdata orvane tools 
mDNSClient 
no-sd
private-tmp
trace
no-brand
401
0
camA 192.168.0.9
1 unix:path=/tmp/orvane-sandbox/system_bus_socket" "sandbox layout with --no-sd --no-node --params"
[ ! -e /usr/local/packages ] || [ -n "$(ls -A /usr/local/packages 2>/dev/null)" ] ||
  fail "the sandbox left /usr/local/packages on the host"

printf 'System.BoaPort=%d\n' $((20000 + $$ % 10000)) >"$work/port"
node=$(readlink -f "$(command -v node)")
out=$("$sandbox" --host-net --params "$work/port" -- bash -c '
  ls /usr/local/packages/orvane/tools | tr "\n" " "; ls -d /var/spool/storage/SD_DISK
  gzip -dc /usr/local/packages/orvane/tools/node.gz | cmp -s - "'"$node"'" && echo "node.gz holds node"')
expect_eq "$out" $'mDNSClient node.gz /var/spool/storage/SD_DISK\nnode.gz holds node' "default layout"

# COMMAND's exit status, and everything gone after a failing COMMAND.
status=0
"$sandbox" --no-node -- bash -c 'readlink /proc/self/ns/pid >"'"$work"'/ns"; sleep 300 & exit 7' || status=$?
expect_eq "$status" 7 "exit status of a failing command"
ns=$(cat "$work/ns")
wait_until 5 no_process_in "$ns" || fail "left running after a failing command: $(processes_in "$ns")"

# An interrupted sandbox ends promptly and leaves nothing behind.
rm -f "$work/ns"
"$sandbox" --no-node -- bash -c 'readlink /proc/self/ns/pid >"'"$work"'/ns"; sleep 300' &
sandbox_pid=$!
wait_until 20 test -s "$work/ns" || fail "the sandbox did not run its command"
ns=$(cat "$work/ns")
kill -TERM "$sandbox_pid"
status=0
wait "$sandbox_pid" || status=$?
expect_eq "$status" 143 "exit status after SIGTERM"
wait_until 5 no_process_in "$ns" || fail "left running after SIGTERM: $(processes_in "$ns")"

# --start fails with Orvane's output when Orvane ends before it is ready, and the
# command never runs.
printf '!orvane.LogLevel\n' >"$work/no-loglevel"
status=0
"$sandbox" --no-node --start --params "$work/no-loglevel" -- touch "$work/ran" 2>"$work/err" || status=$?
[ "$status" != 0 ] || fail "--start succeeded although Orvane could not start"
[ ! -e "$work/ran" ] || fail "the command ran although Orvane was not ready"
expect_match "$(cat "$work/err")" "Orvane exited with status" "report of an early exit"

# A normal user gets the same sandbox through a user namespace.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  out=$(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/ "$sandbox" --no-node -- \
    bash -c 'ls -d /usr/local/packages/orvane/localdata; camera-sim-ctl get orvane.LogLevel') ||
    fail "sandbox as a normal user: $out"
  expect_eq "$out" $'/usr/local/packages/orvane/localdata\ndebug' "sandbox as a normal user"
fi
pass
