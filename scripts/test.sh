#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test: the normal build,
# then the ASan+UBSan and TSan builds, then about a minute of fuzzing.
# VELTRANE_SANITIZERS=0 skips the sanitizer builds, VELTRANE_FUZZ_SECONDS=0
# skips fuzzing (any other value is the time per fuzz target).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs="$(nproc)"
run_suite() {
  local preset="$1"
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset tests"
  ctest --preset "$preset" -j "$jobs" --timeout 300
}

if [ "${VELTRANE_SANITIZERS:-1}" != 0 ]; then
  run_suite asan
  run_suite tsan
fi

# About a minute of fuzzing shared by the targets, each from its seed corpus
# (fuzz/run.sh; VELTRANE_FUZZ_SECONDS sets the time per target instead).
if [ "${VELTRANE_FUZZ_SECONDS:-}" != 0 ]; then
  echo "== fuzz"
  VELTRANE_JOBS="$jobs" ./fuzz/run.sh
fi

# Last, so its closing line is the run's summary.
run_suite default
