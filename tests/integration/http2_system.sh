#!/usr/bin/env bash
# The camera list and the report.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
in_sandbox
source "$(dirname "$0")/http_helpers.bash"

tools=$orvane_app_dir/tools
# report_line N: line N of the last report.
report_line() { sed -n "$1p" "$work/body"; }

# The camera list: the tool's lines filtered, in their order, escaped inside the message.
# camera_names: "name|ip" per camera of the last answer's message, which must be a JSON
# status whose message is itself JSON.
camera_names() {
  node -e '
    const answer = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
    if (answer.status !== 200 || Object.keys(answer).length !== 2) throw new Error("bad status");
    const list = JSON.parse(answer.message);
    if (Object.keys(list).join() !== "camera_list") throw new Error("bad list");
    for (const c of list.camera_list) {
      if (Object.keys(c).join() !== "name,ip") throw new Error("bad entry");
      console.log(c.name + "|" + c.ip);
    }' "$work/body"
}
request "$api/network_camera_list.cgi"
expect_answer 200 "$(json_status 200 '{\"camera_list\":[]}')" "no camera answers"
cat >"$tools/mdns-answers.txt" <<'TXT'
AXIS M3106 - B8A44F000001._axis-video._tcp.local;192.168.1.20;80;extra
axis-p1448-le;169.254.3.4
Printer in the hall;192.168.1.30
line without fields
Front/door (axis);10.0.0.7
Lobby "axis" \ cam",{"name":"x","ip":"6.6.6.6"};10.0.0.8
TXT
request "$api/network_camera_list.cgi"
expect_eq "$status" 200 "camera list status"
expect_eq "$(camera_names)" 'AXIS M3106 - B8A44F000001._axis-video._tcp.local|192.168.1.20
Front/door (axis)|10.0.0.7
Lobby "axis" \ cam",{"name":"x","ip":"6.6.6.6"}|10.0.0.8' "camera list"
expect_match "$body" '\\/' "slashes escaped in the message"
rm "$tools/mDNSClient"
request "$api/network_camera_list.cgi"
expect_answer 200 "$(json_status 200 '{\"camera_list\":[]}')" "the tool is missing"

# The report: exactly five lines.
make_package listed
install "storage=FLASH" "$work/listed.zip"
request "$api/package/list.cgi"
list=$body
request "$api/report.cgi"
expect_eq "$status" 200 "report status"
curl -sS -D "$work/headers" -o "$work/report" "$api/report.cgi"
grep -qi '^Content-Type: text/plain' "$work/headers" || fail "report without its Content-Type"
grep -qi "^Content-Length: $(stat -c %s "$work/report")" "$work/headers" || fail "report without its length"
expect_eq "$(wc -l <"$work/body")" 5 "report lines: $body"
[ "$(tail -c 1 "$work/body" | od -An -c | tr -d ' ')" = '\n' ] || fail "the last line has no line end"
expect_match "$(report_line 1)" '^uptime: .*load average' "report line 1"
expect_match "$(report_line 2)" '^RAM - available: [0-9]+ MB$' "report line 2"
free_mb=$(($(stat -f -c '%a * %S' /usr/local/) / 1048576))
expect_eq "$(report_line 3)" "Internal memory - available: $free_mb MB" "report line 3"
expect_eq "$(report_line 4)" "NodeJS state: NOT_INSTALLED" "report line 4"
expect_eq "$(report_line 5)" "Installed: $(tr '\r\n' '  ' <<<"$list" | sed 's/ $//')" "report line 5"
[[ $list == *'"package_name": "listed"'* ]] || fail "the package list lacks the package: $list"
pass
