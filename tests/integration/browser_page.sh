#!/usr/bin/env bash
# Orvane's management page in chromium through the sandbox's nginx (scenario: browser/page.js).
set -euo pipefail
# Short package timings, so that a crashing package reaches its crash loop within seconds
# and stays in it for the rest of the run.
export ORVANE_TEST_TIMINGS=tick=1,short=5,crashes=3,delay=120,max=120
source "$(dirname "$0")/lib.sh"
in_sandbox --web

[ -x /usr/bin/chromium ] || fail "no /usr/bin/chromium: run scripts/install-deps"
[ -d "$top/tests/node_modules/playwright-core" ] || fail "no playwright-core: run npm ci in tests/"

work=/tmp/browser
mkdir -p "$work/zips"
# The large zip: hello_counter padded with incompressible bytes, so that the upload (held
# to 16 MiB/s by the page scenario) lasts long enough for its progress to be seen.
cp "$build/examples/hello_counter.zip" "$build/examples/event_pulse.zip" "$work/zips/"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$work/padding.bin"
(cd "$work" && zip -q -0 zips/hello_counter.zip padding.bin)
# A package that ends with an error as soon as it starts.
mkdir -p "$work/crashy"
printf '{"package_name":"crashy","package_menu_name":"Crashy","package_version":"0.1.0","vendor":"Tests"}\n' \
  >"$work/crashy/manifest.json"
printf "console.error('cannot open the camera stream');\nprocess.exit(3);\n" >"$work/crashy/main.js"
(cd "$work/crashy" && zip -q ../zips/crashy.zip manifest.json main.js)
# A version of hello_counter that ends as soon as it starts: installed over the running one,
# it fails its probation and hello_counter comes back.
mkdir -p "$work/hello_v9"
printf '{"package_name":"hello_counter","package_menu_name":"Hello counter","package_version":"9.0.0","vendor":"Tests"}\n' \
  >"$work/hello_v9/manifest.json"
printf "process.exit(3);\n" >"$work/hello_v9/main.js"
(cd "$work/hello_v9" && zip -q ../zips/hello_counter_v9.zip manifest.json main.js)
# A package whose name, menu name and vendor are 40 characters each, none with a space to
# break at: the widths the table must fit.
long=long_named_package_for_the_width_checks_
mkdir -p "$work/$long"
printf '{"package_name":"%s","package_menu_name":"%s","package_version":"12.345.6789","vendor":"%s"}\n' \
  "$long" 'A package whose menu name is 40 chars ok' Vendorname-without-any-spaces-at-all-xyz >"$work/$long/manifest.json"
printf 'setInterval(() => {}, 1000);\n' >"$work/$long/main.js"
(cd "$work/$long" && zip -q "../zips/$long.zip" manifest.json main.js)

shots=$build/browser-screenshots
mkdir -p "$shots"
PAGE_URL=$ORVANE_WEB_URL PAGE_LOGIN=$ORVANE_WEB_LOGIN ZIPS=$work/zips SHOTS=$shots WORK=$work \
  FLASH=/usr/local/packages/orvane/localdata/packages LONG_NAME=$long \
  node "$top/tests/integration/browser/page.js" || {
  echo "--- Orvane's log (last lines)"; tail -40 "$ORVANE_LOG"
  echo "--- the web server's errors"; tail -20 "$ORVANE_SANDBOX_DIR/web/error.log"
  fail "the page scenario failed (screenshots in $shots)"
}
# A 1 GiB upload goes through the web server to Orvane as it arrives: no body-size cap,
# and the server's memory stays flat. Orvane refuses it as a package only once it has
# read all of it.
truncate -s 1G "$work/large.zip"
web_pid=$(cat "$ORVANE_SANDBOX_DIR/web/nginx.pid")
rss() { awk '/^VmRSS/ {print $2}' "/proc/$web_pid/status"; }
rss_before=$(rss)
answer=$(curl -sS -u "$ORVANE_WEB_LOGIN" -F "package=@$work/large.zip" "${ORVANE_WEB_URL}api/package/install.cgi?storage=FLASH")
expect_match "$answer" 'install package\(s\) error \[large\.zip\]' "Orvane's answer to a 1 GiB upload"
growth=$(($(rss) - rss_before))
[ "$growth" -lt $((32 * 1024)) ] || fail "the web server grew by $growth KiB during a 1 GiB upload"
pass
