#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the main program.
# Arguments are passed to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
host=build/default/app/control-deck
if [ -x "$host" ]; then
  exec "$host" "$@"
fi
# The host program arrives with the runtime; until then run what exists.
echo "control-deck host not built yet; running the server-core benchmarks instead"
exec build/default/bench/bench_deck_server "$@"
