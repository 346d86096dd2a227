#!/usr/bin/env bash
# State-push latency: a command answered while N authenticated WebSocket
# clients (N = 1, 10, 100) are connected, timed to the last client's receipt
# of the new state; against a Node `ws` broadcaster sending a message of the
# same size, in the same run. Loopback only; bounded rounds; stops by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
here=bench/state_push
if [ ! -d "$here/node_modules/ws" ]; then
  npm install --prefix "$here" --no-save --no-audit --no-fund --loglevel=error ws@8 >/dev/null
fi
cmake --preset default >/dev/null
cmake --build --preset default -j4 --target control-deck >/dev/null

work="$(mktemp -d)"
deck=""
cleanup() {
  [ -n "$deck" ] && kill "$deck" 2>/dev/null && wait "$deck" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
build/default/app/control-deck --port 0 --loopback --fake-adapters --auto-approve --data-dir "$work/data" \
  >"$work/log" 2>&1 &
deck=$!
port="" code=""
for _ in $(seq 100); do
  port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/log" | head -1)"
  code="$(sed -n 's/^PAIRING_CODE \([0-9]*\)$/\1/p' "$work/log" | head -1)"
  [ -n "$port" ] && [ -n "$code" ] && break
  sleep 0.1
done
[ -n "$port" ] && [ -n "$code" ] || { echo "control-deck did not start:" >&2; cat "$work/log" >&2; exit 1; }
timeout 600 node "$here/measure.js" "$port" "$code"
