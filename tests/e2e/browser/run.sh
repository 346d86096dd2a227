#!/usr/bin/env bash
# The browser check as CTest runs it: run.sh <control-deck binary> <work folder>.
# Installs playwright-core from the committed lock into the work folder (again
# only when the lock changes), then runs run.mjs under an overall limit. Where
# the system allows, the run gets a PID namespace of its own: however it ends,
# the kernel then ends the browser and the host with it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
host="${1:?control-deck binary}"
work="${2:?work folder}"
chromium=/usr/bin/chromium

[ -x "$chromium" ] || { echo "$chromium is missing: ./scripts/install-deps.sh installs it" >&2; exit 1; }
command -v node >/dev/null && command -v npm >/dev/null || { echo "node and npm are needed" >&2; exit 1; }

mkdir -p "$work"
stamp="$work/node_modules/.installed-lock-sha256"
want="$(sha256sum "$here/package-lock.json" | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  cp "$here/package.json" "$here/package-lock.json" "$work/"
  npm ci --prefix "$work" --no-audit --no-fund --loglevel=error </dev/null
  echo "$want" >"$stamp"
fi

isolate=()
if unshare --pid --fork --kill-child --mount-proc true 2>/dev/null; then
  isolate=(unshare --pid --fork --kill-child --mount-proc)
fi
exec timeout -k 10 420 "${isolate[@]}" node "$here/run.mjs" "$host" "$work"
