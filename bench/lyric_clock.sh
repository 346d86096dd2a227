#!/usr/bin/env bash
# The lyric clock's pushes beside a Node `ws` peer, measured in one run: the
# host with its host adapters follows mpv (MPRIS plugin, private session bus)
# playing a track whose synchronised lyrics come from the lyric services'
# stand-in (tools/lyrics-stub), so it pushes "lyrics.clock" every 16 ms to
# its authenticated WebSocket clients; bench/peers/lyric_ticker.js pushes an
# event of the same shape every 16 ms to its own. The same client program
# (bench_ws_clients cadence) holds 1, 10 and 100 clients on each in turn for
# SECONDS (default 10) and reports the events, their bytes per client per
# second and the interval between events at a client (p50, p99, largest);
# the server's processor time over that window (/proc/PID/task/*/schedstat)
# divided by the events delivered is its processor time per client-event.
# Goals: the host at most half of Node's processor time per client-event;
# p99 interval at most 25 ms at 100 clients. Loopback only; every process
# started here is ended on exit.
#   bench/lyric_clock.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }
for tool in mpv playerctl ffmpeg dbus-daemon curl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (see scripts/debian-packages.txt)" >&2; exit 2; }
done
[ -f /usr/lib/mpv-mpris/mpris.so ] || { echo "mpv-mpris is missing (see scripts/debian-packages.txt)" >&2; exit 2; }
# The peer alone needs Node.js and its locked `ws` (bench/peers).
. bench/node-peer.sh
install_missing node:nodejs npm:npm
node_peer_modules
peers=bench/peers

cmake --preset default >/dev/null
cmake --build --preset default -j2 --target control-deck mirabeck bench_ws_clients >/dev/null
host=build/default/app/control-deck
clients=build/default/bench/bench_ws_clients

work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cpu_ns() {  # every thread's processor time of PID, in nanoseconds
  cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }'
}
field() { /usr/bin/python3 -c "import json,sys; print(json.load(sys.stdin)['data']['$1'])"; }

# The track, its lyrics (a line every 3 s) and the stand-in serving them.
ffmpeg -loglevel error -y -f lavfi -i sine=frequency=440:duration=600 -metadata title="Clock Song" \
  -metadata artist="Alpha" -metadata album="Demo" "$work/song.mp3"
/usr/bin/python3 - "$work/routes.json" <<'PY'
import json, sys
lrc = "[ar:Alpha]\n[ti:Clock Song]\n" + "".join(
    "[%02d:%02d.00]Line %d\n" % ((1 + 3 * i) // 60, (1 + 3 * i) % 60, i + 1) for i in range(200))
record = {"id": 1, "trackName": "Clock Song", "artistName": "Alpha", "albumName": "Demo", "duration": 600.0,
          "instrumental": False, "plainLyrics": "Line 1", "syncedLyrics": lrc}
with open(sys.argv[1], "w") as f:
    json.dump([{"path": "/api/get", "json": record}, {"path": "/api/search", "json": [record]}], f)
PY
/usr/bin/python3 tools/lyrics-stub/lyrics_stub.py --routes "$work/routes.json" >"$work/stub.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/stub.out" ] && break; sleep 0.05; done
stub="http://127.0.0.1:$(head -1 "$work/stub.out")"
export VELTRANE_LYRICS_ENDPOINTS="{\"lrclib\":\"$stub\",\"qqSearch\":\"$stub\",\"qqApi\":\"$stub\",\"qqSite\":\"$stub\",\"catalog\":\"$stub\",\"qqImage\":\"$stub\"}"

dbus-daemon --session --nofork --nopidfile --print-address=1 >"$work/address" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/address" ] && break; sleep 0.05; done
DBUS_SESSION_BUS_ADDRESS="$(head -1 "$work/address")"
export DBUS_SESSION_BUS_ADDRESS
mpv --no-config --script=/usr/lib/mpv-mpris/mpris.so --ao=null --vo=null --no-video --loop-file=inf \
  "$work/song.mp3" >/dev/null 2>&1 </dev/null &
pids+=($!)
for _ in $(seq 200); do [ "$(playerctl -p mpv status 2>/dev/null)" = Playing ] && break; sleep 0.05; done

"$host" --loopback --auto-approve --port 0 --data-dir "$work/data" >"$work/host.log" 2>&1 &
host_pid=$!; pids+=("$host_pid")
port="" code=""
for _ in $(seq 100); do
  port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/host.log" | head -1)"
  code="$(sed -n 's/^PAIRING_CODE \([0-9]*\)$/\1/p' "$work/host.log" | head -1)"
  [ -n "$port" ] && [ -n "$code" ] && break
  sleep 0.1
done
[ -n "$port" ] && [ -n "$code" ] || { echo "control-deck did not start:" >&2; cat "$work/host.log" >&2; exit 1; }
base="http://127.0.0.1:$port"
paired="$(curl -sf -X POST "$base/api/pairing/request" -d "{\"code\":\"$code\",\"deviceName\":\"Bench\"}")"
session="$(curl -sf -X POST "$base/api/session" \
  -d "{\"deviceId\":\"$(field deviceId <<<"$paired")\",\"deviceToken\":\"$(field deviceToken <<<"$paired")\"}" | field session)"

# Node's stdin stays open on a pipe; it ends with this script.
mkfifo "$work/node.in"
node "$peers/lyric_ticker.js" <"$work/node.in" >"$work/node.out" 2>&1 &
node_pid=$!; pids+=("$node_pid")
exec 3>"$work/node.in"
for _ in $(seq 100); do grep -q '^PORT ' "$work/node.out" 2>/dev/null && break; sleep 0.05; done
node_port="$(sed -n 's/^PORT //p' "$work/node.out")"
[ -n "$node_port" ] || { echo "the Node peer did not start" >&2; exit 1; }

# The host pushes once it holds the track's lyrics: one client waits for the
# first event.
"$clients" cadence 1 1 lyrics.clock --target host --port "$port" --ws "/ws?session=$session" --greeted >/dev/null
for _ in $(seq 100); do
  out="$("$clients" cadence 1 1 lyrics.clock --target host --port "$port" --ws "/ws?session=$session" --greeted | tail -1)"
  [ "${out%% *}" -gt 10 ] && break
done
[ "${out%% *}" -gt 10 ] || { echo "the host pushes no lyric clock:" >&2; tail -20 "$work/host.log" >&2; exit 1; }

measure() {  # name pid clients target... -> "events bytes/client/s p50 p99 max cpu-ns"
  local name="$1" pid="$2" n="$3"; shift 3
  "$clients" cadence "$n" "$seconds" lyrics.clock "$@" >"$work/$name.$n" &
  local client=$!
  for _ in $(seq 600); do grep -q '^READY' "$work/$name.$n" && break; sleep 0.01; done
  local before after
  before="$(cpu_ns "$pid")"
  wait "$client"
  after="$(cpu_ns "$pid")"
  echo "$(tail -1 "$work/$name.$n") $((after - before))"
}

printf '%-5s %7s %8s %12s %9s %10s %8s %8s %8s\n' server clients events "B/client/s" "cpu ms" "µs/event" "p50 ms" "p99 ms" "max ms"
declare -A per_event p99
for n in 1 10 100; do
  for name in host node; do
    if [ "$name" = host ]; then
      read -r events bytes p50 p99v max cpu < <(measure host "$host_pid" "$n" --target host --port "$port" \
        --ws "/ws?session=$session" --greeted)
    else
      read -r events bytes p50 p99v max cpu < <(measure node "$node_pid" "$n" --target node --port "$node_port" --ws /ws)
    fi
    us="$(awk -v c="$cpu" -v e="$events" 'BEGIN { printf "%.2f", (e > 0) ? c / e / 1000 : 0 }')"
    per_event[$name.$n]="$us"; p99[$name.$n]="$p99v"
    printf '%-5s %7d %8d %12.0f %9.1f %10s %8s %8s %8s\n' "$name" "$n" "$events" "$bytes" "$(awk -v c="$cpu" 'BEGIN { print c / 1e6 }')" "$us" "$p50" "$p99v" "$max"
  done
done
for n in 1 10 100; do
  ratio="$(awk -v a="${per_event[host.$n]}" -v b="${per_event[node.$n]}" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }')"
  echo "clients $n: processor per client-event host / node $ratio (goal <= 0.50: $(awk -v r="$ratio" 'BEGIN { print ((r <= 0.5) ? "met" : "not met") }'))"
done
echo "p99 interval at 100 clients: host ${p99[host.100]} ms (goal <= 25 ms: $(awk -v p="${p99[host.100]}" 'BEGIN { print ((p <= 25) ? "met" : "not met") }')), node ${p99[node.100]} ms"
