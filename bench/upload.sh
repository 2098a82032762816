#!/usr/bin/env bash
# Uploads a 1 GiB file part through /package/install.cgi into the SD card's package directory
# next to dd writing the same bytes to the same file system with the block size Orvane wrote
# with (its write calls counted in /proc/PID/io), ROUNDS rounds interleaved; Orvane's peak
# resident memory during an upload; and its resident memory with 256 idle HTTP connections
# open (the most it accepts). The figures that count are the ratios to the recv()+write()
# receiver: loopback TCP cannot reach dd's speed here.
# Each round uploads twice: with curl, and with a client that sends the file with sendfile()
# (bench/UploadPeer.c), so that the client's own copies of the file cannot be what limits
# the figure. The same client also uploads to a receiver that does nothing but
# recv() and write(): the best a server that reads its sockets with recv() can do here.
#   bench/upload.sh [SIZE_MIB] [ROUNDS]    (default 1024 and 5; ORVANE_BUILD_DIR selects the build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" != inside ]; then
  exec "$top/scripts/sandbox" --start -- "$top/bench/$(basename "$0")" inside "${1:-1024}" "${2:-5}"
fi
size_mib=$2
rounds=$3
peer=$ORVANE_BUILD_DIR/bench/upload_peer
[ -x "$peer" ] || { echo "missing $peer (build with -DORVANE_BENCH=ON)"; exit 2; }
sd_root=/var/spool/storage/SD_DISK/orvane/packages
source_file=/tmp/upload.bin
head -c $((size_mib * 1048576)) /dev/urandom >"$source_file"
mkdir -p "$sd_root"

orvane_pid=$(pidof orvane)
status_kb() { awk -v k="$1:" '$1 == k {print $2}' "/proc/$orvane_pid/status"; }
io_field() { awk -v k="$1:" '$1 == k {print $2}' "/proc/$orvane_pid/io"; }
stats() { sort -g | awk '{ v[NR] = $1 } END { printf "%s %s %s\n", v[1], v[int((NR + 1) / 2)], v[NR] }'; }

# The file is no zip, so the install refuses it at once: the time is the upload's.
install_url=/package/install.cgi?storage=SD_DISK
upload() {
  curl -sS -o /tmp/answer -w '%{time_total}\n' -F "file=@$source_file;filename=upload.bin" \
    "http://127.0.0.1:22520$install_url"
}
sink_port=22599
"$peer" sink "$sink_port" "$sd_root/sink.bin" &
sink_pid=$!
trap 'kill "$sink_pid" 2>/dev/null || true' EXIT
sent_seconds() { "$peer" send "$1" "$2" "$source_file" | cut -d' ' -f1; }
dd_seconds() {
  local start
  start=$(date +%s.%N)
  dd if="$source_file" of="$sd_root/dd.bin" bs="$1" status=none
  sync "$sd_root/dd.bin"
  echo "$(date +%s.%N) - $start" | bc -l
  rm -f "$sd_root/dd.bin"
}

# One upload first: its write calls give the block size, and its peak the memory growth
# (the kernel's high-water mark, reset just before).
rss_before=$(status_kb VmRSS)
peak_known=0
echo 5 >"/proc/$orvane_pid/clear_refs" 2>/dev/null && peak_known=1
writes_before=$(io_field syscw)
bytes_before=$(io_field wchar)
upload >/dev/null
writes=$(($(io_field syscw) - writes_before))
block=$(( ($(io_field wchar) - bytes_before) / (writes > 0 ? writes : 1) ))
block_kib=$(( (block + 1023) / 1024 ))
peak_kb=$(status_kb VmHWM)

upload_times=()
sent_times=()
sink_times=()
dd_times=()
for _ in $(seq "$rounds"); do
  upload_times+=("$(upload)")
  sent_times+=("$(sent_seconds 22520 "$install_url")")
  sink_times+=("$(sent_seconds "$sink_port" /)")
  dd_times+=("$(dd_seconds "${block_kib}k")")
done
read -r u_min u_med u_max < <(printf '%s\n' "${upload_times[@]}" | stats)
read -r s_min s_med s_max < <(printf '%s\n' "${sent_times[@]}" | stats)
read -r r_min r_med r_max < <(printf '%s\n' "${sink_times[@]}" | stats)
read -r d_min d_med d_max < <(printf '%s\n' "${dd_times[@]}" | stats)

# Idle connections: opened, left without a request, and counted by the server before the
# memory is read.
idle_before=$(status_kb VmRSS)
node -e '
  const net = require("net");
  const sockets = [];
  let open = 0;
  for (let i = 0; i < 256; i++) {
    const s = net.connect(22520, "127.0.0.1", () => { if (++open === 256) setTimeout(() => {
      process.stdout.write("open\n"); setTimeout(() => process.exit(0), 2000); }, 1000); });
    s.on("error", (e) => { console.error(e.message); process.exit(1); });
    sockets.push(s);
  }' >/tmp/idle.out &
idle_client=$!
until grep -q open /tmp/idle.out 2>/dev/null; do
  kill -0 "$idle_client" 2>/dev/null || { echo "the idle connections could not be opened"; exit 1; }
  sleep 0.1
done
idle_kb=$(status_kb VmRSS)
idle_threads=$(status_kb Threads)
wait "$idle_client" || true

printf 'upload of %d MiB through /package/install.cgi, %d rounds interleaved with dd\n' "$size_mib" "$rounds"
printf '  %-32s %8s %8s %8s  %s\n' "" "min s" "median s" "max s" "MiB/s at the median"
row() { printf '  %-36s %8.2f %8.2f %8.2f  %8.1f\n' "$1" "$2" "$3" "$4" "$(echo "$size_mib / $3" | bc -l)"; }
row "upload, curl -F" "$u_min" "$u_med" "$u_max"
row "upload, sendfile client" "$s_min" "$s_med" "$s_max"
row "recv+write receiver, sendfile client" "$r_min" "$r_med" "$r_max"
row "dd bs=${block_kib}k (Orvane's writes)" "$d_min" "$d_med" "$d_max"
ratio() { echo "$1 / $2" | bc -l; }
printf '  against dd (min / median): curl %.2fx / %.2fx, sendfile client %.2fx / %.2fx, receiver %.2fx / %.2fx\n' \
  "$(ratio "$d_min" "$u_min")" "$(ratio "$d_med" "$u_med")" "$(ratio "$d_min" "$s_min")" "$(ratio "$d_med" "$s_med")" \
  "$(ratio "$d_min" "$r_min")" "$(ratio "$d_med" "$r_med")"
# The floor: the same client into a receiver that only recv()s and write()s, same loopback.
printf '  against the recv+write receiver (min / median): curl %.2fx / %.2fx, sendfile client %.2fx / %.2fx\n' \
  "$(ratio "$r_min" "$u_min")" "$(ratio "$r_med" "$u_med")" "$(ratio "$r_min" "$s_min")" "$(ratio "$r_med" "$s_med")"
printf '  %d write calls of %d bytes on average\n' "$writes" "$block"
if [ "$peak_known" = 1 ]; then
  printf '  Orvane RSS: %d KiB before an upload, peak %d KiB during it, growth %d KiB\n' "$rss_before" \
    "$peak_kb" $((peak_kb - rss_before))
else
  printf '  Orvane RSS: %d KiB before an upload (no peak: clear_refs not writable)\n' "$rss_before"
fi
printf '  Orvane RSS: %d KiB idle, %d KiB with 256 idle HTTP connections (+%d KiB, %d threads)\n' \
  "$idle_before" "$idle_kb" $((idle_kb - idle_before)) "$idle_threads"
