#!/usr/bin/env bash
# File transfer through the Control Deck over loopback HTTP, beside peers
# measured in the same run:
#   upload    a file (256 MiB by default) in 1 MiB chunks, in its own process
#             under /usr/bin/time -v; beside cp and cp followed by sync (every
#             accepted chunk is flushed to disk before it is acknowledged).
#   download  the uploaded file offered back, fetched by curl from a host that
#             only serves: one download, then four at once. The host's peak
#             resident memory above its idle figure (VmHWM after resetting it
#             through clear_refs), every copy compared with the source (cmp),
#             and the rate beside cp and beside nginx (one worker, sendfile
#             on) serving the same file. Rates are the median of three runs
#             into /dev/null, deck and nginx in turn; the page cache holds the
#             file for both.
# Everything is on loopback; every process started here is ended on exit.
#   bench/file_transfer.sh [MiB, default 256]
set -euo pipefail
. "$(dirname "$0")/nginx-peer.sh"
cd "$(dirname "$0")/.."
mib="${1:-256}"
[[ "$mib" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [MiB]" >&2; exit 2; }
repeats=3

need=()
[ -x /usr/bin/time ] || need+=(time)
[ -x /usr/sbin/nginx ] || need+=(nginx-light)
command -v curl >/dev/null || need+=(curl)
command -v python3 >/dev/null || need+=(python3)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${need[*]}" >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null >/dev/null
fi
cmake --preset default >/dev/null
cmake --build --preset default -j3 --target bench_file_transfer >/dev/null
bench=build/default/bench/bench_file_transfer

# On the build's disk, not a memory-backed /tmp, so every side writes to the same kind of storage.
work="$(mktemp -d "$PWD/build/file-transfer-bench.XXXXXX")"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

bytes=$((mib * 1048576))
head -c "$bytes" /dev/urandom >"$work/source.bin"
sync

mbs() { awk -v bytes="$1" -v seconds="$2" 'BEGIN { printf "%.1f", bytes / 1e6 / seconds }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
mib_of() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
seconds_since() { awk -v s="$1" -v e="$(date +%s.%N)" 'BEGIN { print e - s }'; }

# --- cp ----------------------------------------------------------------------
start=$(date +%s.%N); cp "$work/source.bin" "$work/cp.bin"; cp_rate="$(mbs "$bytes" "$(seconds_since "$start")")"
rm -f "$work/cp.bin"; sync
start=$(date +%s.%N); cp "$work/source.bin" "$work/cp.bin"; sync; cpsync_rate="$(mbs "$bytes" "$(seconds_since "$start")")"
rm -f "$work/cp.bin"

# --- upload ------------------------------------------------------------------
/usr/bin/time -v -o "$work/upload.time" "$bench" upload "$work/data" "$work/source.bin" "$work/state" |
  grep -v -e '^\[deck\]' -e '^PAIRING_CODE' >"$work/upload.out"
upload_rate="$(awk '/^upload/ { print $2 }' "$work/upload.out")"
upload_peak="$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$work/upload.time")"

# --- the serving host, and nginx beside it -----------------------------------
"$bench" serve "$work/data" "$work/state" >"$work/serve.out" 2>&1 &
host=$!; pids+=("$host")
for _ in $(seq 200); do grep -q '^READY' "$work/serve.out" && break; sleep 0.05; done
read -r ready port session id < <(grep -m1 '^READY' "$work/serve.out" || echo none)
[ "$ready" = READY ] || { echo "the host did not start:" >&2; cat "$work/serve.out" >&2; exit 1; }
deck_url="http://127.0.0.1:$port/api/files/outbox/$id"
auth="Authorization: Bearer $session"

nginx_port="$(free_port)"
mkdir -p "$work/www" "$work/nginx"
ln "$work/source.bin" "$work/www/file.bin"
chmod 711 "$work"; chmod -R a+rX "$work/www"  # nginx started by root reads as an unprivileged user
nginx_peer_conf "$work" "$nginx_port" application/octet-stream 1024 "sendfile on" "keepalive_timeout 0"
/usr/sbin/nginx -c "$work/nginx.conf" -e "$work/nginx/error.log" &
pids+=("$!")
nginx_url="http://127.0.0.1:$nginx_port/file.bin"
for _ in $(seq 100); do curl -sf -r 0-0 -o /dev/null "$nginx_url" && break; sleep 0.05; done

fetch() {  # url output -> fails unless the whole file arrived
  curl -sf -H "$auth" -o "$2" -w '%{size_download}\n' "$1" | grep -qx "$bytes"
}
# Aggregate MB/s of `count` downloads at once into /dev/null.
rate_of() {  # url count
  local start i waits=()
  start=$(date +%s.%N)
  for i in $(seq "$2"); do fetch "$1" /dev/null & waits+=("$!"); done
  for i in "${waits[@]}"; do wait "$i" || { echo "a download from $1 failed" >&2; exit 1; }; done
  echo "$(mbs "$(($2 * bytes))" "$(seconds_since "$start")")"
}
# `count` downloads at once into files, each compared with the source.
identical() {  # url count tag
  local i waits=()
  for i in $(seq "$2"); do fetch "$1" "$work/$3.$i.bin" & waits+=("$!"); done
  for i in "${waits[@]}"; do wait "$i" || { echo "a download from $1 failed" >&2; exit 1; }; done
  for i in $(seq "$2"); do cmp -s "$work/source.bin" "$work/$3.$i.bin" || { echo "$3 copy $i differs" >&2; exit 1; }; done
  rm -f "$work/$3".*.bin
}

sleep 1
idle="$(kib "$host" VmRSS)"
for count in 1 4; do
  echo 5 >"/proc/$host/clear_refs"  # the peak starts again from now
  identical "$deck_url" "$count" "deck$count"
  identical "$nginx_url" "$count" "nginx$count"
  for _ in $(seq "$repeats"); do
    rate_of "$deck_url" "$count" >>"$work/deck.$count"
    rate_of "$nginx_url" "$count" >>"$work/nginx.$count"
  done
  peak[$count]="$(kib "$host" VmHWM)"
done

# --- report ------------------------------------------------------------------
echo "file: $mib MiB, on $(nproc) cores (load average $(cut -d' ' -f1-3 /proc/loadavg))"
printf '%-34s %10s\n' "cp" "$cp_rate MB/s"
printf '%-34s %10s\n' "cp + sync" "$cpsync_rate MB/s"
printf '%-34s %10s   peak memory of its process %s MiB\n' "upload (1 MiB chunks)" "$upload_rate MB/s" "$upload_peak"
echo "downloads (curl into /dev/null, median of $repeats; each copy also written once and cmp'd: identical)"
printf '%-34s %10s %10s %8s %22s\n' "" "deck MB/s" "nginx MB/s" "ratio" "deck peak above idle"
for count in 1 4; do
  d="$(median <"$work/deck.$count")"; g="$(median <"$work/nginx.$count")"
  printf '%-34s %10s %10s %8s %18s MiB\n' "$count at once" "$d" "$g" "$(ratio "$d" "$g")" \
    "$(mib_of "$((peak[count] - idle))")"
done
echo "deck idle resident memory $(mib_of "$idle") MiB; cp beside the single download: $(ratio "$(median <"$work/deck.1")" "$cp_rate")"
