#!/usr/bin/env bash
# Uploads a file (256 MiB by default) to the Control Deck in 1 MiB chunks over
# loopback HTTP, offers it back and downloads it, each side in its own
# process under /usr/bin/time -v. Prints the rates beside a plain cp of the
# same file (and cp followed by sync: every accepted chunk is flushed to disk
# before it is acknowledged) in the same run, each process's peak memory, and
# checks that the file came back unchanged.
#   bench/file_transfer.sh [MiB, default 256]
set -euo pipefail
cd "$(dirname "$0")/.."
mib="${1:-256}"

if [ ! -x /usr/bin/time ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends time </dev/null >/dev/null
fi
cmake --preset default >/dev/null
cmake --build --preset default --target bench_file_transfer >/dev/null
bench=build/default/bench/bench_file_transfer

# On the build's disk, not a memory-backed /tmp, so every side writes to the same kind of storage.
work="$(mktemp -d "$PWD/build/file-transfer-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
head -c "$((mib * 1048576))" /dev/urandom >"$work/source.bin"
sync

rate() { awk -v bytes="$1" -v start="$2" -v end="$3" 'BEGIN { printf "%8.1f MB/s", bytes / 1e6 / (end - start) }'; }
peak() { awk -F': ' '/Maximum resident set size/ { printf "%.1f MiB", $2 / 1024 }' "$1"; }
bytes=$((mib * 1048576))

start=$(date +%s.%N); cp "$work/source.bin" "$work/cp.bin"; end=$(date +%s.%N)
echo "cp       $(rate "$bytes" "$start" "$end")"
rm -f "$work/cp.bin"; sync
start=$(date +%s.%N); cp "$work/source.bin" "$work/cp.bin"; sync; end=$(date +%s.%N)
echo "cp+sync  $(rate "$bytes" "$start" "$end")"
rm -f "$work/cp.bin"

/usr/bin/time -v -o "$work/upload.time" "$bench" upload "$work/data" "$work/source.bin" "$work/state" | grep -v -e '^\[deck\]' -e '^PAIRING_CODE'
/usr/bin/time -v -o "$work/download.time" "$bench" download "$work/data" "$work/state" "$work/back.bin" | grep -v -e '^\[deck\]' -e '^PAIRING_CODE'
echo "peak memory: upload process $(peak "$work/upload.time"), download process $(peak "$work/download.time") (file: ${mib} MiB)"
cmp "$work/source.bin" "$work/back.bin" && echo "downloaded file identical to the source"
