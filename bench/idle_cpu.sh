#!/usr/bin/env bash
# Processor time the Control Deck host uses while idle: first with no tablet,
# then with one paired tablet holding a WebSocket open, each for SECONDS
# (default 60). Uses the host adapter set, as a user would run it.
# Usage: bench/idle_cpu.sh [SECONDS]   (after a default build; the client is Debian's python3-websockets)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
host=build/default/app/control-deck
[ -x "$host" ] || { echo "build first: cmake --preset default && cmake --build --preset default"; exit 1; }
command -v curl >/dev/null || { echo "needs curl"; exit 1; }

work="$(mktemp -d)"
port=$((20000 + RANDOM % 20000))
CONTROL_DECK_TEST_MODE=1 "$host" --loopback --port "$port" --data-dir "$work/data" >"$work/host.log" 2>&1 &
pid=$!
cleanup() { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

for _ in $(seq 50); do grep -q '^PAIRING_CODE ' "$work/host.log" && break; sleep 0.1; done
code="$(sed -n 's/^PAIRING_CODE \([0-9]*\)$/\1/p' "$work/host.log" | head -1)"
[ -n "$code" ] || { cat "$work/host.log"; exit 1; }

ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz="$(getconf CLK_TCK)"
measure() {
  local before after
  before="$(ticks)"; sleep "$seconds"; after="$(ticks)"
  awk -v d="$((after - before))" -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.3f", 100 * d / hz / s }'
}

alone="$(measure)"

base="http://127.0.0.1:$port"
pairing="$(curl -s -X POST "$base/api/pairing/request" -d "{\"code\":\"$code\",\"deviceName\":\"Bench\",\"deviceKind\":\"tablet\"}")"
device="$(python3 -c 'import json,sys; d=json.load(sys.stdin)["data"]; print(d["deviceId"], d["deviceToken"])' <<<"$pairing")"
read -r deviceId deviceToken <<<"$device"
session="$(curl -s -X POST "$base/api/session" -d "{\"deviceId\":\"$deviceId\",\"deviceToken\":\"$deviceToken\"}" \
  | python3 -c 'import json,sys; print(json.load(sys.stdin)["data"]["session"])')"

/usr/bin/python3 - "$port" "$session" "$((seconds + 5))" <<'PY' &
import asyncio, sys, websockets
async def main(port, session, hold):
    async with websockets.connect(f"ws://127.0.0.1:{port}/ws?session={session}") as ws:
        try:
            await asyncio.wait_for(asyncio.Event().wait(), hold)
        except asyncio.TimeoutError:
            pass
asyncio.run(main(sys.argv[1], sys.argv[2], float(sys.argv[3])))
PY
client=$!
sleep 1
connected="$(measure)"
wait "$client" 2>/dev/null || true

printf '%-34s %10s\n' "control-deck, idle" "CPU %"
printf '%-34s %10s\n' "no tablet connected" "$alone"
printf '%-34s %10s\n' "one tablet on the WebSocket" "$connected"
