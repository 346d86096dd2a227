#!/usr/bin/env bash
# Builds the libFuzzer targets ('fuzz' preset) and runs each from its seed corpus.
#
#   fuzz/run.sh [seconds] [target]
#
# seconds: time per target. Without it, VELTRANE_FUZZ_SECONDS per target, or
#   else VELTRANE_FUZZ_BUDGET (default 60) seconds shared by the targets run.
# target: one target, with or without the "fuzz_" prefix; all without it.
#
# Each target works in build/fuzz/corpus/<name>, which starts from a copy of
# fuzz/corpus/<name> and keeps what earlier runs found; fuzz/dict/<name>.dict
# is used when present. The repository is never written. A failure prints
# the log and the reproducer (replay it with the printed command) and fails.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-${VELTRANE_FUZZ_SECONDS:-}}"
only="${2:-}"
only="${only#fuzz_}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${VELTRANE_JOBS:-$(nproc)}"

names=()
for source in fuzz/corpus/*/; do
  name="$(basename "$source")"
  [ -z "$only" ] || [ "$name" = "$only" ] || continue
  [ -x "build/fuzz/fuzz/fuzz_$name" ] || { echo "fuzz/corpus/$name has no target fuzz_$name" >&2; exit 2; }
  names+=("$name")
done
[ "${#names[@]}" -gt 0 ] || { echo "no fuzz target named '$only'" >&2; exit 2; }
for target in build/fuzz/fuzz/fuzz_*; do
  name="$(basename "$target")"
  [ -x "$target" ] && [ -d "fuzz/corpus/${name#fuzz_}" ] \
    || { echo "$name has no seed corpus in fuzz/corpus/${name#fuzz_}" >&2; exit 2; }
done

if [ -z "$seconds" ]; then
  # A target also takes about a second to start and stop beyond its time.
  budget="${VELTRANE_FUZZ_BUDGET:-60}"
  seconds=$(( (budget - ${#names[@]}) / ${#names[@]} ))
  [ "$seconds" -ge 1 ] || seconds=1
fi

out=build/fuzz/runs
mkdir -p "$out"
for name in "${names[@]}"; do
  binary="build/fuzz/fuzz/fuzz_$name"
  corpus="build/fuzz/corpus/$name"
  artifacts="$out/$name-artifacts"
  log="$out/$name.log"
  mkdir -p "$corpus" "$artifacts"
  for seed in "fuzz/corpus/$name"/*; do
    [ -e "$corpus/$(basename "$seed")" ] || cp "$seed" "$corpus/"
  done
  options=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1 -artifact_prefix="$artifacts/")
  [ ! -f "fuzz/dict/$name.dict" ] || options+=(-dict="fuzz/dict/$name.dict")
  if ! "$binary" "${options[@]}" "$corpus" >"$log" 2>&1; then
    tail -n 80 "$log"
    reproducer="$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)"
    echo "FAILED fuzz_$name; log: $log"
    [ -z "$reproducer" ] || echo "reproducer: $reproducer (replay: $binary $reproducer)"
    exit 1
  fi
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
  coverage="$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1 | sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+).*/cov \1, features \2, corpus \3/')"
  printf 'fuzz_%-18s %4ss %10s runs  %s\n' "$name" "$seconds" "${runs:-?}" "${coverage:-?}"
done
