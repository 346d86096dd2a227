#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test: the normal build,
# then the ASan+UBSan and TSan builds, then a short run of each fuzzer.
# VELTRANE_SANITIZERS=0 skips the sanitizer builds, VELTRANE_FUZZ_SECONDS=0
# skips fuzzing.
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

fuzz_seconds="${VELTRANE_FUZZ_SECONDS:-10}"
if [ "$fuzz_seconds" != 0 ]; then
  echo "== fuzz build"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  for f in build/fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    echo "== $(basename "$f") for ${fuzz_seconds}s"
    "$f" -max_total_time="$fuzz_seconds" -artifact_prefix=build/fuzz/ -print_final_stats=0 >/dev/null 2>"build/fuzz/$(basename "$f").log" \
      || { cat "build/fuzz/$(basename "$f").log"; exit 1; }
  done
fi

# Last, so its closing line is the run's summary.
run_suite default
