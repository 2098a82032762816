#!/usr/bin/env bash
# scripts/sandbox and scripts/demo from outside: isolation, a clone under /tmp, --keep, --start, demo checks.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
[ -z "${ORVANE_SANDBOX:-}" ] || fail "run this test outside a sandbox"
sandbox=$top/scripts/sandbox
work=$(mktemp -d /tmp/sandbox-test.XXXXXX)
sandbox_pid=""
trap '[ -z "$sandbox_pid" ] || kill -TERM "$sandbox_pid" 2>/dev/null || true
  [ ! -s "$work/building" ] || kill "$(cat "$work/building")" 2>/dev/null || true; rm -rf "$work"' EXIT

processes_in() {
  local dir
  for dir in /proc/[0-9]*; do
    [ "$(readlink "$dir/ns/pid" 2>/dev/null)" != "$1" ] || echo "${dir#/proc/}"
  done
}
no_process_in() { [ -z "$(processes_in "$1")" ]; }

# A copy under /tmp with the source's parameter declarations hidden: the private /tmp keeps only it.
copy=$work/clone build_copy=$work/build
mkdir -p "$copy" "$build_copy/sim"
cp -R "$top/scripts" "$copy/"
cp "$build/sim/camera-sim" "$build/sim/camera-sim-ctl" "$build_copy/sim/"
printf 'orvane.LogLevel=trace\n!Brand.Brand\n' >"$work/params"
# Own mount (to hide the declarations) and network (the demo's ports free) namespaces.
alone=(unshare --mount --net)
[ "$(id -u)" = 0 ] || alone=(unshare --user --map-root-user --mount --net)
out=$(ORVANE_BUILD_DIR=$build_copy "${alone[@]}" bash -c 'mount --bind /dev/null "$1" && shift && exec "$@"' _ \
  "$top/sim/params.default" "$copy/scripts/sandbox" --no-sd --no-node --params "$work/params" -- bash -c '
    [ -e /var/spool/storage/SD_DISK ] && echo sd || echo no-sd
    ls /tmp/* -d | tr "\n" " "; echo
    camera-sim-ctl get orvane.LogLevel; camera-sim-ctl get System.BoaPort
    camera-sim-ctl get Brand.Brand 2>/dev/null || echo no-brand' 2>"$work/err") || fail "sandbox from /tmp: $(cat "$work/err")"
expect_eq "$out" "no-sd
/tmp/orvane-sandbox $work 
trace
80
no-brand" "sandbox from a copy under /tmp"

# The demo reaches a running sandbox through demo.pid; SIGTERM ends it, leaving nothing.
copied() { ORVANE_BUILD_DIR=$build_copy "$copy/scripts/sandbox" "$@"; }
ORVANE_BUILD_DIR=$build_copy "$copy/scripts/sandbox" --no-node -- bash -c 'readlink /proc/self/ns/pid >"$1/ns"
  echo "logged line" >"$ORVANE_SANDBOX_DIR/orvane.log"; sleep 300' _ "$build_copy" &
sandbox_pid=$!
echo "$sandbox_pid" >"$build_copy/demo.pid"
wait_until 20 test -s "$build_copy/ns" || fail "the sandbox did not run its command"
ns=$(cat "$build_copy/ns")
expect_eq "$(ORVANE_BUILD_DIR=$build_copy "$copy/scripts/demo" ctl get orvane.LogLevel)" debug "demo ctl"
expect_eq "$(ORVANE_BUILD_DIR=$build_copy timeout 2 "$copy/scripts/demo" log)" "logged line" "demo log"
kill -TERM "$sandbox_pid"
status=0
wait "$sandbox_pid" || status=$?
expect_eq "$status" 143 "exit status after SIGTERM"
wait_until 5 no_process_in "$ns" || fail "left running after SIGTERM: $(processes_in "$ns")"

# COMMAND's exit status, and everything gone after a failing COMMAND.
status=0
copied --no-node -- bash -c 'readlink /proc/self/ns/pid >"$1/ns"; sleep 300 & exit 7' _ "$build_copy" || status=$?
expect_eq "$status" 7 "exit status of a failing command"
ns=$(cat "$build_copy/ns")
wait_until 5 no_process_in "$ns" || fail "left running after a failing command: $(processes_in "$ns")"

# --keep: the packages' storage and the parameters are there again at the next run.
"$sandbox" --no-node --keep "$work/kept" -- bash -c '
  echo data >/usr/local/packages/orvane/localdata/file; camera-sim-ctl set orvane.LogLevel warning'
out=$("$sandbox" --no-node --keep "$work/kept" -- bash -c '
  cat /usr/local/packages/orvane/localdata/file; camera-sim-ctl get orvane.LogLevel')
expect_eq "$out" $'data\nwarning' "kept storage"

# --start fails with Orvane's output when Orvane ends before it is ready; the command never runs.
printf '!orvane.LogLevel\n' >"$work/no-loglevel"
status=0
ran=$build/sandbox-test-ran.$$
"$sandbox" --no-node --start --params "$work/no-loglevel" -- touch "$ran" 2>"$work/err" || status=$?
[ "$status" != 0 ] && [ ! -e "$ran" ] || { rm -f "$ran"; fail "the command ran although Orvane could not start"; }
expect_match "$(cat "$work/err")" "Orvane exited with status" "report of an early exit"

# The demo refuses a machine without namespaces in one line; SIGTERM ends a build step whole.
mkdir "$work/bin"
printf '#!/bin/sh\nexit 1\n' >"$work/bin/unshare"
printf '#!/bin/sh\necho $$ >"%s/building"\n[ -e "%s/slow" ] && exec sleep 300\nexit 1\n' "$work" "$work" >"$work/bin/cmake"
chmod +x "$work/bin/unshare" "$work/bin/cmake"
status=0
ORVANE_BUILD_DIR=$work/build "${alone[@]}" env PATH="$work/bin:$PATH" "$copy/scripts/demo" 2>"$work/err" || status=$?
[ "$status" != 0 ] && [ ! -e "$work/building" ] || fail "the demo went on to build without namespaces"
expect_match "$(cat "$work/err")" "^sandbox: cannot create namespaces|^sandbox: this user cannot create user namespaces" \
  "the demo's answer without namespaces"
rm "$work/bin/unshare"
touch "$work/slow"
ORVANE_BUILD_DIR=$work/build "${alone[@]}" env PATH="$work/bin:$PATH" "$copy/scripts/demo" 2>/dev/null &
demo_pid=$!
wait_until 30 test -s "$work/building" || fail "the demo did not start building"
kill -TERM "$demo_pid"
wait "$demo_pid" || true
wait_until 5 bash -c "! kill -0 $(cat "$work/building") 2>/dev/null" || fail "the build step outlived the demo"

# A normal user gets the same sandbox through a user namespace.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  out=$(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/ "$sandbox" --no-node -- \
    bash -c 'ls -d /usr/local/packages/orvane/localdata; camera-sim-ctl get orvane.LogLevel') ||
    fail "sandbox as a normal user: $out"
  expect_eq "$out" $'/usr/local/packages/orvane/localdata\ndebug' "sandbox as a normal user"
fi
pass
