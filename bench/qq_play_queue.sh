#!/usr/bin/env bash
# Play-queue reading speed: `qq-probe play-queue` (a whole process: start,
# libplist, resolution, JSON lines) against Python's plistlib plus the same
# resolution in Python (timed inside the interpreter, so its start-up is not
# counted), on one generated binary archive of ENTRIES songs; the median of 5
# passes each after a warm-up. The last line holds entries per second and the
# ratio (goal >= 10).
#   bench/qq_play_queue.sh [ENTRIES, default 5000]
set -euo pipefail
cd "$(dirname "$0")/.."
entries="${1:-5000}"

cmake --preset default >/dev/null
cmake --build --preset default --target qq-probe >/dev/null

work="$(mktemp -d "$PWD/build/qq-play-queue-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
PYTHONPATH=tests/tools /usr/bin/python3 - "$work/queue.archive" "$entries" "build/default/tools/qq-probe/qq-probe" <<'PY'
import json
import os
import statistics
import subprocess
import sys
import time

import qq_archive

path, count, probe = sys.argv[1], int(sys.argv[2]), sys.argv[3]
items, top = qq_archive.queue_objects(count)
qq_archive.write_archive(path, items, top)


def ours():
    started = time.perf_counter()
    out = subprocess.run([probe, "play-queue", path], capture_output=True, check=True).stdout
    return time.perf_counter() - started, out


def python():
    started = time.perf_counter()
    entries = qq_archive.read_archive(path)
    return time.perf_counter() - started, entries


_, out = ours()
_, reference = python()
read = [json.loads(line) for line in out.decode().splitlines()]
if read != reference:
    sys.exit("qq_play_queue.sh: qq-probe and the Python reading differ")
ours_s = statistics.median(ours()[0] for _ in range(5))
python_s = statistics.median(python()[0] for _ in range(5))
n = len(reference)
print(f"archive: {count} songs, {os.path.getsize(path)} bytes, {n} entries read")
print(f"qq-probe play-queue: {ours_s * 1000:.1f} ms, {n / ours_s:,.0f} entries/s")
print(f"python plistlib + resolution: {python_s * 1000:.1f} ms, {n / python_s:,.0f} entries/s")
ratio = python_s / ours_s
print(f"qq play queue entries/s: qq-probe {n / ours_s:,.0f}, python {n / python_s:,.0f}; ratio {ratio:.1f} "
      f"(goal >= 10, {'met' if ratio >= 10 else 'not met'})")
PY
