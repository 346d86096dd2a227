#!/usr/bin/env bash
# Play-queue reading speed on one generated binary archive of ENTRIES songs:
# `qq-probe play-queue` beside a Python program that reads the archive with
# plistlib, resolves it the same way and prints the same JSON lines (both
# whole processes, the median of 5 runs after a warm-up); then the reading
# alone inside each process (bench_qq_play_queue against plistlib plus the
# resolution timed inside the interpreter). The last line holds entries per
# second and the ratio of the processes (goal >= 10).
#   bench/qq_play_queue.sh [ENTRIES, default 5000]
set -euo pipefail
cd "$(dirname "$0")/.."
entries="${1:-5000}"

cmake --preset default >/dev/null
cmake --build --preset default --target qq-probe bench_qq_play_queue >/dev/null

work="$(mktemp -d "$PWD/build/qq-play-queue-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
PYTHONPATH=tests/tools /usr/bin/python3 - "$work/queue.archive" "$entries" "build/default/tools/qq-probe/qq-probe" \
  "build/default/bench/bench_qq_play_queue" <<'PY'
import json
import os
import re
import statistics
import subprocess
import sys
import time

import qq_archive

path, count, probe, bench = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
items, top = qq_archive.queue_objects(count)
qq_archive.write_archive(path, items, top)
peer = ("import json, sys, qq_archive\n"
        "for e in qq_archive.read_archive(sys.argv[1]): print(json.dumps(e, ensure_ascii=False))\n")
environment = dict(os.environ, PYTHONPATH="tests/tools")


def timed(command):
    started = time.perf_counter()
    out = subprocess.run(command, capture_output=True, check=True, env=environment).stdout
    return time.perf_counter() - started, out


def median(command):
    timed(command)
    return statistics.median(timed(command)[0] for _ in range(5))


ours_out = timed([probe, "play-queue", path])[1]
peer_out = timed(["/usr/bin/python3", "-c", peer, path])[1]
reference = qq_archive.read_archive(path)
for out in (ours_out, peer_out):
    if [json.loads(line) for line in out.decode().splitlines()] != reference:
        sys.exit("qq_play_queue.sh: the readings differ")
n = len(reference)
ours_s = median([probe, "play-queue", path])
peer_s = median(["/usr/bin/python3", "-c", peer, path])

inside = subprocess.run([bench, path], capture_output=True, check=True, text=True).stdout
ours_inside = float(re.search(r"veltrane ms: ([0-9.]+)", inside).group(1)) / 1000


def python_inside():
    started = time.perf_counter()
    qq_archive.read_archive(path)
    return time.perf_counter() - started


python_inside()
peer_inside = statistics.median(python_inside() for _ in range(5))

print(f"archive: {count} songs, {os.path.getsize(path)} bytes, {n} entries read")
print(f"processes: qq-probe play-queue {ours_s * 1000:.1f} ms, python {peer_s * 1000:.1f} ms")
print(f"reading alone: veltrane {ours_inside * 1000:.1f} ms, python {peer_inside * 1000:.1f} ms; "
      f"ratio {peer_inside / ours_inside:.1f}")
ratio = peer_s / ours_s
print(f"qq play queue entries/s: qq-probe {n / ours_s:,.0f}, python {n / peer_s:,.0f}; ratio {ratio:.1f} "
      f"(goal >= 10, {'met' if ratio >= 10 else 'not met'})")
PY
