#!/usr/bin/env bash
# The lyrics front beside the same requests made straight to lrclib, in one
# run, against the services' stub on loopback (every answer after 100 ms):
#   a. COUNT (default 2,000) fetches over 50 tracks through the front, and
#      the same COUNT lrclib lookups without it (each on a thread of a queue
#      like the front's): wall time, requests the stub saw and peak threads of
#      each; goals: exactly 50 lookups for the front, >= 20x less wall time.
#   b. 100 distinct tracks as a batch with every service on the black hole:
#      p99 and max of how long each fetch call held its caller (goal: p99 < 1 ms).
# Every process started here is ended on exit.
#   bench/lyrics_lookup.sh [COUNT]
set -euo pipefail
cd "$(dirname "$0")/.."
count="${1:-2000}"
[[ "$count" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [COUNT]" >&2; exit 2; }
tracks=50

cmake --preset default >/dev/null
cmake --build --preset default -j3 --target bench_lyrics_lookup lyrics-lookup >/dev/null
bench=build/default/bench/bench_lyrics_lookup
tool=build/default/tools/lyrics-lookup/lyrics-lookup

work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start_stub() {  # start_stub FILE [ARGS...]: its port in FILE, its origin in $stub_origin
  local file="$1"; shift
  /usr/bin/python3 tools/lyrics-stub/lyrics_stub.py "$@" >"$file" 2>/dev/null &
  pids+=("$!")
  for _ in $(seq 200); do [ -s "$file" ] && break; sleep 0.05; done
  stub_origin="http://127.0.0.1:$(head -1 "$file")"
}

cat >"$work/routes.json" <<'JSON'
[{"path": "/api/get", "delay": 0.1,
  "json": {"trackName": "Song", "artistName": "Artist", "duration": 200,
           "syncedLyrics": "[00:01.00]First line\n[00:02.00]Second line"}}]
JSON
start_stub "$work/stub.port" --routes "$work/routes.json"
origin=$stub_origin
seen() { /usr/bin/python3 -c 'import json,sys,urllib.request; print(len(json.load(urllib.request.urlopen(sys.argv[1] + "/_stub/log"))))' "$origin"; }
reset() { /usr/bin/python3 -c 'import sys,urllib.request; urllib.request.urlopen(urllib.request.Request(sys.argv[1] + "/_stub/reset", data=b""))' "$origin"; }
field() { sed -n "s/.*$1: \([0-9.]*\).*/\1/p"; }

reset; front=$("$bench" front "$origin" "$count" "$tracks"); front_requests=$(seen)
reset; direct=$("$bench" direct "$origin" "$count" "$tracks"); direct_requests=$(seen)
echo "$front; requests $front_requests"
echo "$direct; requests $direct_requests"
fw=$(field wall_s <<<"$front"); dw=$(field wall_s <<<"$direct")
ratio=$(awk -v a="$dw" -v b="$fw" 'BEGIN { printf "%.1f", a / b }')

# b. every service hangs.
start_stub "$work/hole.port" --black-hole
hole=$stub_origin
/usr/bin/python3 -c '
import json
for i in range(100):
    print(json.dumps({"title": "Song %d" % i, "artist": "Artist %d" % i, "album": "Album", "duration": 200 + i,
                      "bundleId": "org.example.Player"}))' >"$work/tracks.jsonl"
keys='["lrclib","qqSearch","qqApi","qqSite","catalog","qqImage"]'
endpoints=$(/usr/bin/python3 -c 'import json,sys; print(json.dumps({k: sys.argv[2] for k in json.loads(sys.argv[1])}))' "$keys" "$hole")
VELTRANE_LYRICS_ENDPOINTS="$endpoints" VELTRANE_INFO_FILE="$work/none.json" "$tool" batch "$work/tracks.jsonl" >"$work/batch.out"
calls=$(/usr/bin/python3 -c '
import json, sys
answers = [json.loads(line) for line in open(sys.argv[1])]
ms = sorted(a["callMs"] for a in answers)
last = max(a["ms"] for a in answers)
p99 = ms[max(0, -(-99 * len(ms) // 100) - 1)]
print("answered %d, callMs p99 %.3f max %.3f, last answer after %.1f s" % (len(answers), p99, ms[-1], last / 1000))' "$work/batch.out")

echo "lyrics front: $count fetches over $tracks tracks: ${fw} s, $front_requests requests (goal $tracks); straight to lrclib: ${dw} s, $direct_requests requests; ratio ${ratio}x (goal >= 20x)"
echo "black hole, 100 tracks: $calls (goal p99 < 1 ms)"
