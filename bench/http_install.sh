#!/usr/bin/env bash
# What installs and data imports cost, and what making them durable adds. A package zip of
# about 100 MiB made of many files is installed through the HTTP API, and a data archive of
# about 20 MiB is imported into it, with Orvane's storage on tmpfs and on this machine's
# disk (the sandbox's --keep), with each way of syncing (ORVANE_BENCH_SYNC: filesystem, one
# syncfs per operation, Orvane's default; perfile, an fsync per file and directory; off, no
# sync at all, which no camera runs). Beside each install, unzip of the same archive into
# the same file system, then sync, as the reference. Rounds are interleaved so that a
# change in the machine's load spreads over every column.
#   bench/http_install.sh [FILES] [ROUNDS]   (default 2000 files, 3 rounds; ORVANE_BUILD_DIR
#                                            selects the build, default build/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${ORVANE_BUILD_DIR:-$top/build}" && pwd)
bench=$build/bench-install

if [ "${1:-}" = inside ]; then
  sd_root=/var/spool/storage/SD_DISK/orvane/packages
  api=http://127.0.0.1:22520
  timed() { curl -sS -o /tmp/answer -w "%{time_total} %{http_code}\n" "$@"; }
  read -r install_s status < <(timed -F "file=@$bench/bigpkg.zip" "$api/package/install.cgi?storage=SD_DISK")
  [ "$status" = 200 ] || { echo "install failed: $(cat /tmp/answer)" >&2; exit 1; }
  read -r import_s status < <(timed -F "file=@$bench/data.zip" "$api/package/data.cgi?package_name=bigpkg&action=IMPORT")
  [ "$status" = 200 ] || { echo "import failed: $(cat /tmp/answer)" >&2; exit 1; }
  start=$(date +%s.%N)
  unzip -q -o "$bench/bigpkg.zip" -d "$sd_root/unzipped" && sync -f "$sd_root/unzipped"
  unzip_s=$(echo "$(date +%s.%N) - $start" | bc -l)
  echo "$install_s $import_s $unzip_s"
  exit 0
fi

files=${1:-2000}
rounds=${2:-3}
mkdir -p "$bench"
if [ ! -f "$bench/bigpkg.$files.zip" ]; then
  src=$bench/src
  rm -rf "$src" && mkdir -p "$src/pkg/lib" "$src/data/images"
  printf '{"package_name": "bigpkg", "package_menu_name": "Big", "package_version": "1", "vendor": "Bench"}\n' \
    >"$src/pkg/manifest.json"
  echo 'setInterval(() => {}, 1000);' >"$src/pkg/main.js"
  per_file=$((100 * 1048576 / files))
  for i in $(seq 1 "$files"); do
    # Half random, half text: compresses roughly like real packages.
    { head -c $((per_file / 2)) /dev/urandom; head -c $((per_file / 2)) < <(yes 'module.exports = 1;'); } \
      >"$src/pkg/lib/file$i.js"
  done
  for i in $(seq 1 200); do head -c 102400 /dev/urandom >"$src/data/images/img$i.jpg"; done
  echo '{"bench": true}' >"$src/data/settings.json"
  (cd "$src/pkg" && zip -qr "$bench/bigpkg.$files.zip" .)
  rm -f "$bench/data.zip" && (cd "$src/data" && zip -qr "$bench/data.zip" .)
  rm -rf "$src"
fi
ln -sf "bigpkg.$files.zip" "$bench/bigpkg.zip"

disk=$bench/storage
declare -A install_s import_s unzip_s
for round in $(seq 1 "$rounds"); do
  for storage in tmpfs disk; do
    for mode in filesystem perfile off; do
      keep=()
      if [ "$storage" = disk ]; then
        rm -rf "$disk" && mkdir -p "$disk" && keep=(--keep "$disk")
      fi
      read -r a b c < <(ORVANE_BENCH_SYNC=$mode ORVANE_BUILD_DIR=$build \
        "$top/scripts/sandbox" --no-node "${keep[@]}" --start -- "$top/bench/http_install.sh" inside)
      install_s[$storage.$mode]+="$a "
      import_s[$storage.$mode]+="$b "
      unzip_s[$storage.$mode]+="$c "
    done
  done
done
rm -rf "$disk"

median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{v[NR]=$1} END {printf "%.2f", v[int((NR+1)/2)]}'; }
printf 'install of a %d MiB zip with %d files (100 MiB unpacked), import of a %d MiB data zip (200 files);\n' \
  "$(($(stat -Lc %s "$bench/bigpkg.zip") / 1048576))" "$((files + 2))" "$(($(stat -c %s "$bench/data.zip") / 1048576))"
printf 'median of %d rounds, seconds\n' "$rounds"
printf '%-7s %-11s %9s %9s %16s\n' storage sync install import "unzip+sync(ref)"
for storage in tmpfs disk; do
  for mode in filesystem perfile off; do
    printf '%-7s %-11s %9s %9s %16s\n' "$storage" "$mode" "$(median "${install_s[$storage.$mode]}")" \
      "$(median "${import_s[$storage.$mode]}")" "$(median "${unzip_s[$storage.$mode]}")"
  done
done
