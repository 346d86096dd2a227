#!/usr/bin/env bash
# The lookup's HTTP path beside curl's command line, in one run:
#   a. COUNT (default 2,000) sequential getJSON calls for a 40 KB lrclib answer
#      from nginx (one worker, access log off) on loopback, and curl fetching
#      the same URLs in one process; three rounds each, interleaved, medians;
#      requests/s of both and their ratio (goal >= 0.9); also the session's
#      transfers alone (no JSON decoding) against the same curl runs.
#   b. resident memory while 64 lrclib lookups hang on a listener that never
#      answers (the lyrics stub's black hole); they end by their own time-outs.
# Everything is on loopback; every process started here is ended on exit.
#   bench/lyrics_http.sh [COUNT]
set -euo pipefail
. "$(dirname "$0")/nginx-peer.sh"
cd "$(dirname "$0")/.."
count="${1:-2000}"
[[ "$count" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [COUNT]" >&2; exit 2; }

need=()
[ -x /usr/sbin/nginx ] || need+=(nginx-light)
command -v curl >/dev/null || need+=(curl)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${need[*]}" >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null >/dev/null
fi
cmake --preset default >/dev/null
cmake --build --preset default -j3 --target bench_lyrics_http >/dev/null
bench=build/default/bench/bench_lyrics_http

work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# A 40 KB lrclib record.
mkdir -p "$work/www/api" "$work/nginx"
/usr/bin/python3 - "$work/www/api/get" <<'PY'
import json, sys
lines = "".join("[%02d:%02d.%02d]Line %d of a long song, with words enough to fill it\n" % (i // 60, i % 60, i % 100, i)
                for i in range(600))
record = {"id": 1, "trackName": "Song", "artistName": "Artist", "albumName": "Album", "duration": 215.0,
          "instrumental": False, "plainLyrics": "", "syncedLyrics": lines}
text = json.dumps(record)
record["plainLyrics"] = "x" * max(0, 40000 - len(text))
open(sys.argv[1], "w").write(json.dumps(record))
PY
chmod -R a+rX "$work"
port="$(free_port)"
nginx_peer_conf "$work" "$port" application/json 1024
/usr/sbin/nginx -c "$work/nginx.conf" -e "$work/nginx/error.log" &
pids+=("$!")
url="http://127.0.0.1:$port/api/get?track_name=Song&artist_name=Artist&duration=215"
for _ in $(seq 100); do curl -sf "$url" >/dev/null && break; sleep 0.05; done
echo "answer: $(stat -c %s "$work/www/api/get") bytes"

# curl's peer: the same URLs from one process, bodies thrown away.
for i in $(seq 0 $((count - 1))); do printf 'url = "%s&n=%d"\noutput = /dev/null\n' "$url" "$i"; done >"$work/curl.conf"
curl_rate() {
  local start end
  start=$(date +%s.%N)
  curl -sf -K "$work/curl.conf"
  end=$(date +%s.%N)
  awk -v n="$count" -v a="$start" -v b="$end" 'BEGIN { printf "%.0f", n / (b - a) }'
}
figure() { sed -n "s/^$1 requests\/s: \([0-9]*\).*/\1/p"; }
ours=(); fetches=(); theirs=()
for round in 1 2 3; do
  ours+=("$("$bench" get "$url" "$count" | figure getJSON)")
  theirs+=("$(curl_rate)")
  fetches+=("$("$bench" fetch "$url" "$count" | figure fetch)")
done
median() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
a=$(median "${ours[@]}"); b=$(median "${theirs[@]}"); f=$(median "${fetches[@]}")
echo "getJSON rounds: ${ours[*]}; session fetch rounds: ${fetches[*]}; curl rounds: ${theirs[*]}"

# b. memory while lookups hang.
/usr/bin/python3 tools/lyrics-stub/lyrics_stub.py --black-hole >"$work/hole.port" &
pids+=("$!")
for _ in $(seq 200); do [ -s "$work/hole.port" ] && break; sleep 0.05; done
hang=$("$bench" hang "http://127.0.0.1:$(head -1 "$work/hole.port")" 64)
echo "$hang"

ratio=$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", a / b }')
fetch_ratio=$(awk -v a="$f" -v b="$b" 'BEGIN { printf "%.2f", a / b }')
echo "lyrics http requests/s: getJSON $a, curl $b; ratio $ratio (goal >= 0.9); fetch alone $f, ratio $fetch_ratio; $hang"
