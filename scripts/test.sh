#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test, in this order:
# the ASan+UBSan build and its tests, the TSan build and its tests, about a
# minute of fuzzing, and last the normal build and its tests. Every stage runs
# even when an earlier one failed; the closing lines give each stage's result,
# and the exit status is non-zero when any stage failed.
# VELTRANE_SANITIZERS=0 skips the sanitizer builds, VELTRANE_FUZZ_SECONDS=0
# skips fuzzing (any other value is the time per fuzz target), VELTRANE_JOBS
# sets the parallel build and test jobs (default: the processor count).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs="${VELTRANE_JOBS:-$(nproc)}"
results=()
failed=0

# Runs one stage; its failure is recorded, and the next stage still runs.
stage() {
  local name="$1" started=$SECONDS status=0
  shift
  echo "== $name"
  "$@" || status=$?
  local took="$((SECONDS - started)) s"
  if [ "$status" -eq 0 ]; then
    results+=("passed  $name ($took)")
  else
    results+=("FAILED  $name (status $status, $took)")
    failed=1
  fi
}

# Chained with &&: inside a stage's `||` the shell's -e does not apply.
suite() {
  local preset="$1"
  cmake --preset "$preset" >/dev/null &&
    cmake --build --preset "$preset" -j "$jobs" &&
    ctest --preset "$preset" -j "$jobs" --timeout 300
}

if [ "${VELTRANE_SANITIZERS:-1}" != 0 ]; then
  stage asan suite asan
  stage tsan suite tsan
else
  results+=("skipped asan, tsan (VELTRANE_SANITIZERS=0)")
fi

# About a minute of fuzzing shared by the targets, each from its seed corpus
# (fuzz/run.sh; VELTRANE_FUZZ_SECONDS sets the time per target instead).
if [ "${VELTRANE_FUZZ_SECONDS:-}" != 0 ]; then
  stage fuzz env VELTRANE_JOBS="$jobs" ./fuzz/run.sh
else
  results+=("skipped fuzz (VELTRANE_FUZZ_SECONDS=0)")
fi

stage default suite default

echo "== summary"
printf '%s\n' "${results[@]}"
exit "$failed"
