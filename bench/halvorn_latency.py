#!/usr/bin/python3
"""Change-to-output latency of a screen encoder writing to a pipe.

   halvorn_latency.py FLIPS COMMAND...

Runs COMMAND with its standard output on a pipe that a thread drains,
waits for the stream to settle on the still screen, then flips the root
window's colour with xsetroot FLIPS times, and prints for each flip the
milliseconds from the flip to the moment 4 KB (or more) had arrived since
it, one per line. Ends COMMAND by its PID.
"""
import os
import signal
import subprocess
import sys
import threading
import time

THRESHOLD = 4096
SETTLE = 2.0
GAP = 0.5
COLOURS = ["#202020", "#e0e0e0"]

flips = int(sys.argv[1])
child = subprocess.Popen(sys.argv[2:], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
arrivals = []  # (monotonic time, bytes)
lock = threading.Lock()


def drain():
    fd = child.stdout.fileno()
    while True:
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            return
        now = time.monotonic()
        with lock:
            arrivals.append((now, len(chunk)))


reader = threading.Thread(target=drain, daemon=True)
reader.start()
try:
    subprocess.run(["xsetroot", "-solid", COLOURS[0]], check=True)
    time.sleep(SETTLE)
    flipTimes = []
    for i in range(flips):
        flipTimes.append(time.monotonic())
        subprocess.run(["xsetroot", "-solid", COLOURS[(i + 1) % 2]], check=True)
        time.sleep(GAP)
finally:
    child.send_signal(signal.SIGTERM)
    try:
        child.wait(timeout=10)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
reader.join(timeout=5)

with lock:
    seen = list(arrivals)
for flip in flipTimes:
    total = 0
    for when, size in seen:
        if when < flip:
            continue
        total += size
        if total >= THRESHOLD:
            print("%.1f" % ((when - flip) * 1000.0))
            break
    else:
        print("nan")
