#!/usr/bin/env bash
# The Control Deck host beside peers, measured side by side in one run:
#   a. GET /api/health and authenticated GET /api/state, one request per
#      connection ("Connection: close"), wrk -t2 -c50, against nginx (one
#      worker, keepalive_timeout 0, access_log off) serving a file of each
#      answer's size; runs interleaved, medians of the repetitions.
#   b. state push to 1, 10 and 100 authenticated WebSocket clients: from the
#      trigger (POST /api/command) to the last client holding the new state,
#      against a Node `ws` broadcaster sending a message of the same size
#      (POST /broadcast); rounds alternate between the two, p50 and p90.
#   c. the host's processor use over a window, alone and with 10 clients.
#   d. the host's resident memory, idle and with 1,000 clients (and the Node
#      peer's with the same 1,000, for scale).
# Everything is on loopback; every process started here is ended on exit.
#   bench/deck_vs_peers.sh [SECONDS]
# SECONDS (default 10) is each wrk run; the idle window is six times it and the
# push rounds ten times it, so `bench/deck_vs_peers.sh 2` is a quick look.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }
repeats=3
idle_window=$((seconds * 6))
rounds=$((seconds * 10))
warmup=10
readers=4

# Tools: Debian packages (scripts/bench-packages.txt), then the Node peer's
# locked dependencies.
need=()
command -v wrk >/dev/null || need+=(wrk)
[ -x /usr/sbin/nginx ] || need+=(nginx-light)
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
command -v curl >/dev/null || need+=(curl)
command -v python3 >/dev/null || need+=(python3)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${need[*]}" >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null >/dev/null
fi
peers=bench/peers
if [ ! -f "$peers/node_modules/.package-lock.json" ] || [ "$peers/package-lock.json" -nt "$peers/node_modules/.package-lock.json" ]; then
  npm ci --prefix "$peers" --no-audit --no-fund --loglevel=error >/dev/null
fi

cmake --preset default >/dev/null
cmake --build --preset default -j3 --target control-deck bench_ws_clients >/dev/null
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

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
hz="$(getconf CLK_TCK)"

# The host, with the canned adapters so that every figure is the deck's own.
CONTROL_DECK_TEST_MODE=1 "$host" --fake-adapters --loopback --auto-approve --port 0 --data-dir "$work/data" \
  >"$work/host.log" 2>&1 &
deck=$!; pids+=("$deck")
port="" code=""
for _ in $(seq 100); do
  port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/host.log" | head -1)"
  code="$(sed -n 's/^PAIRING_CODE \([0-9]*\)$/\1/p' "$work/host.log" | head -1)"
  [ -n "$port" ] && [ -n "$code" ] && break
  sleep 0.1
done
[ -n "$port" ] && [ -n "$code" ] || { echo "control-deck did not start:" >&2; cat "$work/host.log" >&2; exit 1; }
base="http://127.0.0.1:$port"
field() { python3 -c "import json,sys; print(json.load(sys.stdin)['data']['$1'])"; }
paired="$(curl -sf -X POST "$base/api/pairing/request" -d "{\"code\":\"$code\",\"deviceName\":\"Bench\",\"deviceKind\":\"tablet\"}")"
device_id="$(field deviceId <<<"$paired")"
device_token="$(field deviceToken <<<"$paired")"
session="$(curl -sf -X POST "$base/api/session" -d "{\"deviceId\":\"$device_id\",\"deviceToken\":\"$device_token\"}" | field session)"
auth="Authorization: Bearer $session"
deck_target=(--target deck --port "$port" --ws "/ws?session=$session" --greeted)

# Resident memory at rest, before anything else has run.
sleep 1
rss_idle="$(rss_kib "$deck")"

# --- a. HTTP against nginx -------------------------------------------------
curl -sf "$base/api/health" >"$work/health.json"
curl -sf -H "$auth" "$base/api/state" >"$work/state.json"
health_bytes="$(wc -c <"$work/health.json")"
state_bytes="$(wc -c <"$work/state.json")"
nginx_port="$(free_port)"
mkdir -p "$work/www/api" "$work/nginx"
cp "$work/health.json" "$work/www/api/health"
cp "$work/state.json" "$work/www/api/state"
# nginx started by root reads as an unprivileged user.
chmod 711 "$work"; chmod -R a+rX "$work/www"
cat >"$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 0;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
    default_type application/json;
  }
}
CONF
/usr/sbin/nginx -c "$work/nginx.conf" -e "$work/nginx/error.log" &
pids+=("$!")
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$nginx_port/api/health" >/dev/null && break; sleep 0.05; done

rate() {  # url -> requests per second (non-2xx answers would show as errors)
  local out
  out="$(wrk -t2 -c50 -d"${seconds}s" -H 'Connection: close' -H "$auth" "$1")"
  if grep -q 'Non-2xx' <<<"$out"; then echo "wrk saw failed answers from $1:" >&2; echo "$out" >&2; exit 1; fi
  awk '/^Requests\/sec:/ { print $2 }' <<<"$out"
}
for i in $(seq "$repeats"); do
  for route in health state; do
    rate "$base/api/$route" >>"$work/deck.$route"
    rate "http://127.0.0.1:$nginx_port/api/$route" >>"$work/nginx.$route"
  done
done

# --- c. idle processor use --------------------------------------------------
cpu_over() {  # pid seconds -> percent of one core
  local before after
  before="$(ticks "$1")"; sleep "$2"; after="$(ticks "$1")"
  awk -v d="$((after - before))" -v hz="$hz" -v s="$2" 'BEGIN { printf "%.3f", 100 * d / hz / s }'
}
hold() {  # count target... -> starts a holder; its input is fd 9
  local count="$1"; shift
  rm -f "$work/hold.in" "$work/hold.out"; mkfifo "$work/hold.in"
  "$clients" hold "$count" "$@" <"$work/hold.in" >"$work/hold.out" &
  holder=$!; pids+=("$holder")
  exec 9>"$work/hold.in"
  for _ in $(seq 600); do grep -q '^READY' "$work/hold.out" && return 0; kill -0 "$holder" 2>/dev/null || break; sleep 0.1; done
  echo "the clients did not open" >&2; exit 1
}
release() { exec 9>&-; wait "$holder" 2>/dev/null || true; }

sleep 2  # the wrk connections' tails
cpu_alone="$(cpu_over "$deck" "$idle_window")"
hold 10 "${deck_target[@]}"
sleep 1
cpu_ten="$(cpu_over "$deck" "$idle_window")"
release

# --- d. memory with 1,000 clients ----------------------------------------------
hold 1000 "${deck_target[@]}"
sleep 2
rss_thousand="$(rss_kib "$deck")"
release
sleep 2
rss_after="$(rss_kib "$deck")"

# --- b. state push against Node ws ----------------------------------------------
# Only the command's own state should reach the clients: the periodic
# statistics push goes off.
curl -sf -X PUT -H "$auth" "$base/api/settings" -d '{"systemStatsEnabled":false}' >/dev/null
message_bytes="$("$clients" size "${deck_target[@]}")"
mkfifo "$work/peer.in"
node "$peers/ws_broadcaster.js" "$((message_bytes))" <"$work/peer.in" >"$work/peer.out" &
peer=$!; pids+=("$peer")
exec 8>"$work/peer.in"
peer_port=""
for _ in $(seq 100); do
  peer_port="$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$work/peer.out")"; [ -n "$peer_port" ] && break; sleep 0.05
done
[ -n "$peer_port" ] || { echo "the ws peer did not start" >&2; exit 1; }
peer_target=(--target ws --port "$peer_port" --ws /ws)
for n in 1 10 100; do
  "$clients" push "$n" "$rounds" "$warmup" "$readers" \
    "${deck_target[@]}" --post /api/command --body '{"type":"lock_mac"}' --token "$session" \
    "${peer_target[@]}" --post /broadcast --body '{}' >>"$work/push"
done

hold 1000 "${peer_target[@]}"
sleep 2
rss_peer="$(rss_kib "$peer")"
release

# --- the table ------------------------------------------------------------------
echo "machine: $(nproc) cores; wrk ${seconds}s x $repeats per server and route; $rounds push rounds; idle window ${idle_window}s"
echo
printf '%-44s %12s %12s %8s\n' "a. one request per connection (req/s, median)" "deck" "nginx" "ratio"
for route in health state; do
  d="$(median <"$work/deck.$route")"; g="$(median <"$work/nginx.$route")"
  bytes="$health_bytes"; [ "$route" = state ] && bytes="$state_bytes"
  printf '%-44s %12.0f %12.0f %8s\n' "GET /api/$route ($bytes B)" "$d" "$g" "$(ratio "$d" "$g")"
done
echo
printf '%-44s %12s %12s %8s\n' "b. state push, trigger -> last client (ms)" "deck" "node ws" "ratio"
while read -r name n p50 p90 size; do
  [ "$name" = deck ] || continue
  read -r _ _ wp50 wp90 wsize < <(awk -v n="$n" '$1 == "ws" && $2 == n' "$work/push")
  printf '%-44s %12.3f %12.3f %8s\n' "N=$n p50 ($size B / $wsize B)" "$p50" "$wp50" "$(ratio "$p50" "$wp50")"
  printf '%-44s %12.3f %12.3f %8s\n' "N=$n p90" "$p90" "$wp90" "$(ratio "$p90" "$wp90")"
done <"$work/push"
echo
printf '%-44s %12s\n' "c. idle processor use (% of one core)" "deck"
printf '%-44s %12s\n' "no client, ${idle_window}s" "$cpu_alone"
printf '%-44s %12s\n' "10 authenticated WebSocket clients, ${idle_window}s" "$cpu_ten"
echo
printf '%-44s %12s %12s\n' "d. resident memory (MiB)" "deck" "node ws"
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
printf '%-44s %12s %12s\n' "idle" "$(mib "$rss_idle")" ""
printf '%-44s %12s %12s\n' "1,000 WebSocket clients" "$(mib "$rss_thousand")" "$(mib "$rss_peer")"
printf '%-44s %12s %12s\n' "after they left" "$(mib "$rss_after")" ""
