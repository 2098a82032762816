# Shared helpers of the HTTP API tests (sourced after lib.sh, inside the sandbox).
api=http://127.0.0.1:22520
flash_root=/usr/local/packages/orvane/localdata/packages
sd_root=/var/spool/storage/SD_DISK/orvane/packages
work=$(mktemp -d)

# request ARGS...: runs curl against the API; the answer's status lands in $status and its
# body in $body.
request() {
  status=$(curl -sS -o "$work/body" -w '%{http_code}' "$@") || fail "curl $* failed"
  body=$(cat "$work/body")
}

# expect_answer STATUS BODY WHAT: the last answer was exactly this, but for the "reason" of an
# error status, which expect_reason checks.
expect_answer() {
  expect_eq "$status" "$1" "$3 (status; body $body)"
  expect_eq "$(sed -E 's/, "reason": "([^"\\]|\\.)*"}$/}/' <<<"$body")" "$2" "$3 (body)"
}
expect_reason() {
  expect_match "$(node -e 'console.log(JSON.parse(process.argv[1]).reason)' "$body")" "$1" "$2 (reason)"
}

json_status() { printf '{"status": %s, "message": "%s"}' "$1" "$2"; }

# log_mark, then logged_failures: the Warning and Error lines Orvane logged in between.
log_mark() { log_start=$(wc -l <"$ORVANE_LOG"); }
logged_failures() { tail -n +$((log_start + 1)) "$ORVANE_LOG" | grep -E '\[ (Warning|Error) +\] ' || true; }
# expect_one_failure_line LEVEL REGEX WHAT: since log_mark, Orvane logged one Warning or
# Error line, at LEVEL, whose message matches the extended REGEX.
expect_one_failure_line() {
  local lines
  lines=$(logged_failures)
  expect_eq "$(grep -c . <<<"$lines")" 1 "$3: one line logged, not: $lines"
  expect_match "$lines" "\[ $1 +\] $2" "$3 (log line)"
}

# make_package NAME [REQUIRED_VERSION] [MAIN_JS]: a package zip at $work/NAME.zip whose
# manifest names NAME; extra files can be put into $work/NAME.src before calling.
make_package() {
  local name=$1 required=${2:-} main=${3:-"setInterval(() => {}, 1000);"}
  local src="$work/$name.src"
  mkdir -p "$src"
  {
    printf '{\n  "package_name": "%s",\n  "package_menu_name": "Menu %s",\n' "$name" "$name"
    printf '  "package_version": "1.0.0",\n  "vendor": "Test"'
    [ -n "$required" ] && printf ',\n  "required_orvane_version": "%s"' "$required"
    printf '\n}\n'
  } >"$src/manifest.json"
  printf '%s\n' "$main" >"$src/main.js"
  rm -f "$work/$name.zip"
  (cd "$src" && zip -qr "$work/$name.zip" .)
}

install() {
  local query=$1; shift
  local forms=() i=0
  for file in "$@"; do
    forms+=(-F "file$i=@$file")
    i=$((i + 1))
  done
  request "${forms[@]}" "$api/package/install.cgi?$query"
}

# no_leftovers DIR: DIR holds no temporary directory and no uploaded file, and its staging
# directory is empty.
no_leftovers() {
  local left
  left=$({ ls -A "$1" | grep -E '_tmp$|_old$|^MPFD_Temp_'; ls -A "$1/.staging"; } 2>/dev/null || true)
  [ -z "$left" ] || fail "left behind in $1: $left"
}
