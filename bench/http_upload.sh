#!/usr/bin/env bash
# Uploads a 1 GiB file part through the HTTP API into the SD card's package directory and
# prints the throughput next to dd writing the same bytes to the same file system, and the
# growth of Orvane's resident memory while the upload streams through it.
#   bench/http_upload.sh [SIZE_MIB]      (ORVANE_BUILD_DIR selects the build, default build/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" != inside ]; then
  exec "$top/scripts/sandbox" --start -- "$top/bench/$(basename "$0")" inside "${1:-1024}"
fi
size_mib=$2
sd_root=/var/spool/storage/SD_DISK/orvane/packages
source_file=/tmp/upload.bin
head -c $((size_mib * 1048576)) /dev/urandom >"$source_file"
mkdir -p "$sd_root"

orvane_pid=$(pidof orvane)
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$orvane_pid/status"; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$orvane_pid/stat"; }
before_kb=$(rss_kb)
before_ticks=$(cpu_ticks)
peak_file=/tmp/peak
echo "$before_kb" >"$peak_file"
(
  peak=$before_kb
  while [ ! -e /tmp/upload.done ]; do
    now=$(rss_kb)
    [ "$now" -le "$peak" ] || { peak=$now; echo "$peak" >"$peak_file"; }
    sleep 0.02
  done
) &
sampler=$!

# The file is no zip, so the install refuses it at once: the time is the upload's.
read -r seconds status < <(curl -sS -o /tmp/answer -w '%{time_total} %{http_code}\n' \
  -F "file=@$source_file;filename=upload.bin" "http://127.0.0.1:22520/package/install.cgi?storage=SD_DISK")
cpu_seconds=$(echo "($(cpu_ticks) - $before_ticks) / $(getconf CLK_TCK)" | bc -l)
touch /tmp/upload.done
wait "$sampler"
peak_kb=$(cat "$peak_file")

dd_start=$(date +%s.%N)
dd if="$source_file" of="$sd_root/dd.bin" bs=1M status=none
sync "$sd_root/dd.bin"
dd_seconds=$(echo "$(date +%s.%N) - $dd_start" | bc -l)
rm -f "$sd_root/dd.bin"

printf 'upload of %d MiB through /package/install.cgi (answer %s)\n' "$size_mib" "$status"
printf '  upload:   %8.2f s  %8.1f MiB/s\n' "$seconds" "$(echo "$size_mib / $seconds" | bc -l)"
printf '  Orvane CPU time during the upload: %.2f s\n' "$cpu_seconds"
printf '  dd:       %8.2f s  %8.1f MiB/s\n' "$dd_seconds" "$(echo "$size_mib / $dd_seconds" | bc -l)"
printf '  Orvane RSS: %d KiB before, %d KiB at peak, growth %d KiB\n' "$before_kb" "$peak_kb" \
  $((peak_kb - before_kb))
