#!/usr/bin/env bash
# LRC parsing speed: our parser in-process (C++) against the npm parsers clrc
# and lrc-kit in Node, on the same generated corpus (fixed seed, ~10 MB: tags,
# offsets, several stamps a line, CRLF files, CJK text), 2 warm-ups and the
# median of 5 passes each; then lrc-parse's peak memory on one hostile line
# (50,000 stamps and 650 KB of text). The last line holds the figures and the
# ratio against the faster peer.
#   bench/lrc_parse.sh [MB, default 10]
set -euo pipefail
cd "$(dirname "$0")/.."
mb="${1:-10}"

for tool in node npm /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "lrc_parse.sh needs $tool" >&2; exit 2; }
done
cmake --preset default >/dev/null
cmake --build --preset default --target bench_lrc_parse lrc-parse >/dev/null
(cd bench/lrc-peers && npm ci --no-audit --no-fund --silent)

work="$(mktemp -d "$PWD/build/lrc-parse-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 tests/tools/lrc_corpus.py "$work/corpus" 1801 "$((mb * 1000000))"

ours=$(build/default/bench/bench_lrc_parse "$work/corpus")
peers=$(node bench/lrc-peers/parse_bench.js "$work/corpus")
echo "$ours"
echo "$peers"

/usr/bin/python3 -c 'import sys; sys.stdout.write("[00:01]" * 50000 + "x" * 650000 + "\n")' >"$work/hostile.lrc"
/usr/bin/time -v -o "$work/hostile.time" build/default/tools/lrc-parse/lrc-parse "$work/hostile.lrc" >/dev/null
echo "lrc-parse peak memory on the hostile line: $(awk -F': ' '/Maximum resident set size/ { printf "%.1f MiB", $2 / 1024 }' "$work/hostile.time")"

figure() { sed -n "s/^$1 MB\/s: \([0-9.]*\).*/\1/p"; }
a=$(echo "$ours" | figure veltrane)
b=$(echo "$peers" | figure clrc)
c=$(echo "$peers" | figure lrc-kit)
ratio=$(awk -v a="$a" -v b="$b" -v c="$c" 'BEGIN { printf "%.1f", a / (b > c ? b : c) }')
echo "lrc parse MB/s: veltrane $a, clrc $b, lrc-kit $c; ratio $ratio (goal >= 5)"
