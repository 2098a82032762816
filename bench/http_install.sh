#!/usr/bin/env bash
# Installs a package zip of about 100 MiB made of many files through the HTTP API and
# prints the time next to unzip of the same archive into the same file system.
#   bench/http_install.sh [FILES]      (ORVANE_BUILD_DIR selects the build, default build/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" != inside ]; then
  exec "$top/scripts/sandbox" --start -- "$top/bench/$(basename "$0")" inside "${1:-2000}"
fi
files=$2
sd_root=/var/spool/storage/SD_DISK/orvane/packages
src=/tmp/bigpkg
mkdir -p "$src/lib" "$sd_root"
printf '{"package_name": "bigpkg", "package_menu_name": "Big", "package_version": "1", "vendor": "Bench"}\n' \
  >"$src/manifest.json"
echo 'setInterval(() => {}, 1000);' >"$src/main.js"
per_file=$((100 * 1048576 / files))
for i in $(seq 1 "$files"); do
  # Half random, half text: compresses roughly like real packages.
  { head -c $((per_file / 2)) /dev/urandom; head -c $((per_file / 2)) < <(yes 'module.exports = 1;'); } \
    >"$src/lib/file$i.js"
done
(cd "$src" && zip -qr /tmp/bigpkg.zip .)
zip_mib=$(( $(stat -c %s /tmp/bigpkg.zip) / 1048576 ))

read -r seconds status < <(curl -sS -o /tmp/answer -w "%{time_total} %{http_code}\n" \
  -F "file=@/tmp/bigpkg.zip" "http://127.0.0.1:22520/package/install.cgi?storage=SD_DISK")
[ "$status" = 200 ] || { echo "install failed: $(cat /tmp/answer)"; exit 1; }

unzip_start=$(date +%s.%N)
unzip -q -o /tmp/bigpkg.zip -d "$sd_root/unzipped"
unzip_seconds=$(echo "$(date +%s.%N) - $unzip_start" | bc -l)
rm -rf "$sd_root/unzipped"

printf 'install of a %d MiB zip with %d files (100 MiB unpacked)\n' "$zip_mib" "$((files + 2))"
printf '  install.cgi (upload + unpack + move): %6.2f s\n' "$seconds"
printf '  unzip of the same archive:            %6.2f s\n' "$unzip_seconds"
