#!/usr/bin/env bash
# The Control Deck host beside peers, measured side by side in one run:
#   a. GET /api/health and authenticated GET /api/state, one request per
#      connection ("Connection: close"), wrk -t2 -c50, against nginx (one
#      worker, keepalive_timeout 0, access_log off) serving a file of each
#      answer's size; runs interleaved, medians of the repetitions; also the
#      server's processor time per request (from /proc over each run).
#   b. state push to 1, 10 and 100 authenticated WebSocket clients: from the
#      trigger (POST /api/command) to the last client holding the new state,
#      against a Node `ws` broadcaster sending a message of the same size
#      (POST /broadcast); one client process holds every socket (epoll,
#      several reader threads) and alternates rounds between the two; p50, p90.
#   c. processor use and wake-ups over a window: the host with the canned
#      adapters and the host with the computer's own, measured together,
#      alone and with 10 authenticated WebSocket clients each.
#   d. resident memory, idle and with 1,000 authenticated WebSocket clients
#      (and the Node peer's with 1,000 clients, for scale).
# Hosts start with a soft descriptor limit of 1,024, as desktop sessions do.
# Everything is on loopback; every process started here is ended on exit.
#   bench/deck_vs_peers.sh [SECONDS]
# SECONDS (default 10) is each wrk run; the idle windows are six times it and
# the push rounds ten times it, so `bench/deck_vs_peers.sh 2` is a quick look.
set -euo pipefail
. "$(dirname "$0")/nginx-peer.sh"
. "$(dirname "$0")/node-peer.sh"
cd "$(dirname "$0")/.."
seconds="${1:-10}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }
repeats=3
idle_window=$((seconds * 6))
rounds=$((seconds * 10))
warmup=10
readers=4

# Tools: Debian packages (see scripts/debian-packages.txt), then the Node peer's
# locked dependencies.
install_missing wrk:wrk /usr/sbin/nginx:nginx-light node:nodejs npm:npm curl:curl python3:python3
node_peer_modules
peers=bench/peers

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

# Starts a host and pairs a tablet with it: sets host_pid, host_port, host_session.
start_host() {  # name, extra options...
  local name="$1"; shift
  ( ulimit -Sn 1024; CONTROL_DECK_TEST_MODE=1 exec "$host" --loopback --auto-approve --port 0 \
      --data-dir "$work/$name" "$@" >"$work/$name.log" 2>&1 ) &
  host_pid=$!; pids+=("$host_pid")
  local port="" code=""
  for _ in $(seq 100); do
    port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/$name.log" | head -1)"
    code="$(sed -n 's/^PAIRING_CODE \([0-9]*\)$/\1/p' "$work/$name.log" | head -1)"
    [ -n "$port" ] && [ -n "$code" ] && break
    sleep 0.1
  done
  [ -n "$port" ] && [ -n "$code" ] || { echo "control-deck did not start:" >&2; cat "$work/$name.log" >&2; exit 1; }
  local base="http://127.0.0.1:$port" paired id token
  paired="$(curl -sf -X POST "$base/api/pairing/request" -d "{\"code\":\"$code\",\"deviceName\":\"Bench\",\"deviceKind\":\"tablet\"}")"
  id="$(field deviceId <<<"$paired")"; token="$(field deviceToken <<<"$paired")"
  host_session="$(curl -sf -X POST "$base/api/session" -d "{\"deviceId\":\"$id\",\"deviceToken\":\"$token\"}" | field session)"
  host_port="$port"
}
field() { python3 -c "import json,sys; print(json.load(sys.stdin)['data']['$1'])"; }

# The measured host runs the canned adapters, so every figure is the deck's
# own; a second host with the computer's adapters is measured idle beside it.
start_host deck --fake-adapters
deck="$host_pid" port="$host_port" session="$host_session"
start_host real
real="$host_pid" real_port="$host_port" real_session="$host_session"
base="http://127.0.0.1:$port"
auth="Authorization: Bearer $session"
deck_target=(--target deck --port "$port" --ws "/ws?session=$session" --greeted)
real_target=(--target real --port "$real_port" --ws "/ws?session=$real_session" --greeted)

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
nginx_peer_conf "$work" "$nginx_port" application/json 4096 "keepalive_timeout 0"
/usr/sbin/nginx -c "$work/nginx.conf" -e "$work/nginx/error.log" &
nginx=$!; pids+=("$nginx")
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$nginx_port/api/health" >/dev/null && break; sleep 0.05; done
nginx_worker="$(pgrep -P "$nginx" | head -1)"

rate() {  # url pid -> "requests/s  processor-µs/request" (failed answers stop the run)
  local out before after
  before="$(ticks "$2")"
  out="$(wrk -t2 -c50 -d"${seconds}s" -H 'Connection: close' -H "$auth" "$1")"
  after="$(ticks "$2")"
  if grep -q 'Non-2xx' <<<"$out"; then echo "wrk saw failed answers from $1:" >&2; echo "$out" >&2; exit 1; fi
  awk -v d="$((after - before))" -v hz="$hz" '/^Requests\/sec:/ { rps = $2 }
    /requests in/ { n = $1 } END { printf "%s %.1f\n", rps, 1e6 * d / hz / n }' <<<"$out"
}
for _ in $(seq "$repeats"); do
  for route in health state; do
    rate "$base/api/$route" "$deck" >>"$work/deck.$route"
    rate "http://127.0.0.1:$nginx_port/api/$route" "$nginx_worker" >>"$work/nginx.$route"
  done
done

# --- c. idle processor use and wake-ups --------------------------------------
switches() {  # pid -> context switches of all its threads so far
  cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^(non)?voluntary_ctxt_switches:/ { n += $2 } END { print n }'
}
idle_over() {  # seconds pid... -> "cpu% wakeups/s" per pid, measured over one window
  local window="$1"; shift
  local p t0=() w0=()
  for p in "$@"; do t0+=("$(ticks "$p")"); w0+=("$(switches "$p")"); done
  sleep "$window"
  local i=0
  for p in "$@"; do
    awk -v d="$(( $(ticks "$p") - t0[i] ))" -v w="$(( $(switches "$p") - w0[i] ))" -v hz="$hz" -v s="$window" \
      'BEGIN { printf "%.3f %.1f\n", 100 * d / hz / s, w / s }'
    i=$((i + 1))
  done
}
holders=()
hold() {  # count target... -> starts a holder; returns once its clients are open
  local count="$1"; shift
  local out="$work/hold${#holders[@]}.out"
  "$clients" hold "$count" "$((idle_window * 3 + 120))" "$@" >"$out" &
  local holder=$!; pids+=("$holder"); holders+=("$holder")
  for _ in $(seq 600); do grep -q '^READY' "$out" && return 0; kill -0 "$holder" 2>/dev/null || break; sleep 0.1; done
  echo "the clients did not open" >&2; exit 1
}
release_all() {  # ends every holder; their clients go with them
  local h
  for h in "${holders[@]}"; do kill "$h" 2>/dev/null || true; wait "$h" 2>/dev/null || true; done
  holders=()
}

# The wrk connections' tails, and the worker threads the load started: idle
# workers leave after 10 s, and a thread that ends inside the window takes its
# switch count with it.
sleep 12
mapfile -t idle_alone < <(idle_over "$idle_window" "$deck" "$real")
hold 10 "${deck_target[@]}"
hold 10 "${real_target[@]}"
sleep 1
mapfile -t idle_ten < <(idle_over "$idle_window" "$deck" "$real")
release_all

# --- d. memory with 1,000 clients ----------------------------------------------
hold 1000 "${deck_target[@]}"
sleep 2
rss_thousand="$(rss_kib "$deck")"
release_all
sleep 2
rss_after="$(rss_kib "$deck")"

# --- b. state push against Node ws ----------------------------------------------
# Only the command's own state should reach the clients: the periodic
# statistics push goes off.
curl -sf -X PUT -H "$auth" "$base/api/settings" -d '{"systemStatsEnabled":false}' >/dev/null
message_bytes="$("$clients" size "${deck_target[@]}")"
mkfifo "$work/peer.in"
node "$peers/ws_broadcaster.js" "$message_bytes" <"$work/peer.in" >"$work/peer.out" &
peer=$!; pids+=("$peer")
exec {peer_fd}>"$work/peer.in"
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
release_all

# --- the table ------------------------------------------------------------------
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
echo "wrk ${seconds}s x $repeats per server and route; $rounds push rounds after $warmup; idle windows ${idle_window}s"
echo
line() { printf '%-46s %12s %12s %8s\n' "$@"; }
line "a. one request per connection" "deck" "nginx" "ratio"
for route in health state; do
  bytes="$health_bytes"; [ "$route" = state ] && bytes="$state_bytes"
  d="$(awk '{ print $1 }' "$work/deck.$route" | median)"; g="$(awk '{ print $1 }' "$work/nginx.$route" | median)"
  line "GET /api/$route ($bytes B), req/s (median)" "$(printf '%.0f' "$d")" "$(printf '%.0f' "$g")" "$(ratio "$d" "$g")"
  d="$(awk '{ print $2 }' "$work/deck.$route" | median)"; g="$(awk '{ print $2 }' "$work/nginx.$route" | median)"
  line "  processor µs per request (median)" "$d" "$g" "$(ratio "$d" "$g")"
done
echo
line "b. state push, trigger -> last client (ms)" "deck" "node ws" "ratio"
while read -r name n p50 p90 size; do
  [ "$name" = deck ] || continue
  read -r _ _ wp50 wp90 wsize < <(awk -v n="$n" '$1 == "ws" && $2 == n' "$work/push")
  line "N=$n p50 ($size B / $wsize B)" "$p50" "$wp50" "$(ratio "$p50" "$wp50")"
  line "N=$n p90" "$p90" "$wp90" "$(ratio "$p90" "$wp90")"
done <"$work/push"
echo
line "c. idle, ${idle_window}s: % of one core, wake-ups/s" "fake adapt." "host adapt." ""
read -r a_cpu a_wake <<<"${idle_alone[0]}"; read -r r_cpu r_wake <<<"${idle_alone[1]}"
line "no client: processor" "$a_cpu" "$r_cpu" ""
line "no client: thread wake-ups per second" "$a_wake" "$r_wake" ""
read -r a_cpu a_wake <<<"${idle_ten[0]}"; read -r r_cpu r_wake <<<"${idle_ten[1]}"
line "10 WebSocket clients: processor" "$a_cpu" "$r_cpu" ""
line "10 WebSocket clients: wake-ups per second" "$a_wake" "$r_wake" ""
echo
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
line "d. resident memory (MiB)" "deck" "node ws" ""
line "idle" "$(mib "$rss_idle")" "" ""
line "1,000 WebSocket clients" "$(mib "$rss_thousand")" "$(mib "$rss_peer")" "$(ratio "$rss_thousand" "$rss_peer")"
line "after they left" "$(mib "$rss_after")" "" ""
