#!/usr/bin/env bash
# Installs what the build needs, builds, and starts the Control Deck host
# (the host adapter set, port 8741, data in $XDG_DATA_HOME). Arguments are
# passed to it, for example: ./scripts/run.sh --fake-adapters --loopback
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec build/default/app/control-deck "$@"
