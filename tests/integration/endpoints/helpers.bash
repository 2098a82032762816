# Helpers of the endpoint tests http_package_data, http_package_proxy and http_ui_camera_proxy (sourced after lib.sh and http_helpers.bash, inside the sandbox).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# install_runtime: unpacks the Node.js runtime on FLASH and waits until Orvane knows it.
install_runtime() {
  request "$api/node_update.cgi?storage=FLASH"
  expect_answer 200 "$(json_status 200 OK)" "node update"
  runtime_known() { request "$api/diagnostics.cgi" && [ "$body" = '{"node_state":"OK"}' ]; }
  wait_until 10 runtime_known || fail "the runtime did not become known: $body"
}

enable_packages() { camera-sim-ctl set orvane.PackageConfigurations "$1" >/dev/null; }

orvane_threads() { awk '/^Threads:/ { print $2 }' "/proc/$(pidof orvane)/status"; }

answers_with() { [ "$(curl -s -o /dev/null -w '%{http_code}' "$2")" = "$1" ]; }

# json_field FIELD...: the fields of the last answer's JSON body, joined by blanks (arrays by ",").
json_field() {
  node -e 'const o = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
           console.log(process.argv.slice(2).map((f) => Array.isArray(o[f]) ? o[f].join() : o[f] === null ? "null" : String(o[f])).join(" "));' \
    "$work/body" "$@"
}
