#!/usr/bin/env bash
# The camera application package: manifest parameters as the simulator declares them, and its contents.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
printf 'fake node\n' >"$out/node"
printf '#!/bin/sh\n' >"$out/mdns"
file=$(ORVANE_BUILD_DIR=$build "$top/scripts/package" --no-build --node "$out/node" --mdns "$out/mdns" --out "$out")
expect_match "$file" "/orvane_3_1_10_$(uname -m)\.eap$" "package file name"

mkdir "$out/unpacked"
tar -C "$out/unpacked" -xzf "$file"
expect_eq "$(cd "$out/unpacked" && find . -mindepth 1 -not -path './html/*' | sort | paste -sd' ')" \
  "./html ./lib32 ./localdata ./manifest.json ./orvane ./tools ./tools/mDNSClient ./tools/node.gz" "package entries"
manifest=$out/unpacked/manifest.json
cmp -s "$manifest" "$top/packaging/manifest.json" || fail "manifest changed on its way into the package"
diff -r "$top/packaging/html" "$out/unpacked/html" >&2 || fail "the page changed on its way into the package"
[ -f "$out/unpacked/html/$(jq -r .acapPackageConf.setup.settingPage "$manifest")" ] || fail "the settings page is not in html/"
expect_eq "$(gzip -dc "$out/unpacked/tools/node.gz")" "fake node" "shipped runtime"
[ -x "$out/unpacked/tools/mDNSClient" ] || fail "mDNSClient is not executable"
expect_eq "$(tar -tvzf "$file" ./orvane | awk '{print $2}')" "root/root" "owner of the files"

# The packaged program is the built one, maybe stripped: its texts survive.
grep -qaF 'WsServer[camera-events] - ' "$out/unpacked/orvane" || fail "packaged binary is not Orvane"
expect_eq "$(od -An -c -N4 "$out/unpacked/orvane" | tr -d ' ')" '177ELF' "packaged binary is an ELF file"

setup=$(jq -c '.acapPackageConf.setup | [.appName, .version, .runMode]' "$manifest")
expect_eq "$setup" '["orvane","3.1.10","respawn"]' "name, version and run mode"
declared=$(jq -r '.acapPackageConf.configuration.paramConfig[] | "orvane.\(.name)=\(.default)"' "$manifest")
simulated=$(grep -E '^orvane\.' "$top/sim/params.default")
expect_eq "$declared" "$simulated" "declared parameters and defaults"
expect_eq "$(jq -r '.acapPackageConf.configuration.paramConfig[].type' "$manifest" | sort -u)" string "parameter types"

# A binary that is not an ELF file is refused.
fake_build=$(mktemp -d)
mkdir -p "$fake_build/src"
printf 'not an elf' >"$fake_build/src/orvane"
chmod +x "$fake_build/src/orvane"
if ORVANE_BUILD_DIR=$fake_build "$top/scripts/package" --no-build --out "$out" 2>"$out/err"; then
  fail "a binary that is not ELF was packaged"
fi
expect_match "$(cat "$out/err")" "is not an ELF file" "refusal of a non-ELF binary"
rm -rf "$fake_build"
pass
