#!/usr/bin/env bash
# mirabeck --watch beside playerctl, in one run on the same player: a private
# session bus, mpv (MPRIS plugin, no audio or video output) looping two
# generated tracks with a 2400 x 1600 cover beside them, and three followers:
#   mirabeck --watch
#   playerctl --follow metadata                      (prints only on change)
#   playerctl --follow metadata --format '{{position}} {{title}}'
# Over the window (default 60 s): each one's processor time (/proc/PID/task/*/schedstat),
# its lines, processor time per line, and mpv's processor time; five track
# changes (playerctl next) and five pauses, and for each follower the median
# time from the command to its first line that shows the change.
# Goals: mirabeck's processor time per line at most 1/10 of the
# position-following playerctl's, mirabeck at most 0.2 % of a core, and its
# change latency no worse than playerctl's. Every process started here is
# ended on exit.
#   bench/mirabeck_vs_playerctl.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] && [ "$seconds" -ge 20 ] || { echo "usage: $0 [SECONDS >= 20]" >&2; exit 2; }
for tool in mpv playerctl ffmpeg dbus-daemon; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (see scripts/debian-packages.txt)" >&2; exit 2; }
done
[ -f /usr/lib/mpv-mpris/mpris.so ] || { echo "mpv-mpris is missing (see scripts/debian-packages.txt)" >&2; exit 2; }

cmake --preset default >/dev/null
cmake --build --preset default -j3 --target mirabeck >/dev/null
mirabeck="$PWD/build/default/helpers/mirabeck/mirabeck"

work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
. bench/mpv-peer.sh

mpv_peer "$work"

/usr/bin/python3 - "$mirabeck" "$mpv_pid" "$seconds" <<'PY'
import json, os, statistics, subprocess, sys, threading, time
mirabeck, mpv_pid, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

def cpu(pid):
    # Every thread's time: mirabeck works on its queue's and the bus's threads.
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9

class Follower:
    def __init__(self, name, command):
        self.name = name
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.lines = []  # (arrival, text)
        self.lock = threading.Lock()
        threading.Thread(target=self.read, daemon=True).start()
    def read(self):
        for text in self.proc.stdout:
            now = time.monotonic()
            with self.lock: self.lines.append((now, text))
    def count_between(self, a, b):
        with self.lock: return sum(1 for t, _ in self.lines if a <= t < b)
    def first_after(self, t0, shows):
        with self.lock:
            return next((t - t0 for t, text in self.lines if t >= t0 and shows(text)), None)

def mirabeck_title(text):
    try: return json.loads(text).get("title")
    except ValueError: return None
def mirabeck_paused(text):
    try: return json.loads(text).get("playing") is False
    except ValueError: return False

followers = [
    Follower("mirabeck --watch", [mirabeck, "--watch"]),
    Follower("playerctl --follow metadata", ["playerctl", "-p", "mpv", "--follow", "metadata"]),
    Follower("playerctl --follow position+title",
             ["playerctl", "-p", "mpv", "--follow", "metadata", "--format", "{{position}} {{title}}"]),
]
time.sleep(2)
start = time.monotonic()
before = {f.name: cpu(f.proc.pid) for f in followers}
mpv_before = cpu(mpv_pid)

def playerctl(*args):
    subprocess.run(["playerctl", "-p", "mpv", *args], check=True, stdout=subprocess.PIPE)
def title_now():
    return subprocess.run(["playerctl", "-p", "mpv", "metadata", "xesam:title"], stdout=subprocess.PIPE,
                          text=True).stdout.strip()

changes, pauses = [], []
period = seconds / 10
for i in range(10):
    time.sleep(period / 2)
    if i % 2 == 0:
        old = title_now()
        t0 = time.monotonic()
        playerctl("next")
        changes.append((t0, old))
    else:
        t0 = time.monotonic()
        playerctl("pause")
        pauses.append(t0)
        time.sleep(period / 4)
        playerctl("play")
        time.sleep(period / 4)
        continue
    time.sleep(period / 2)
time.sleep(max(0, start + seconds - time.monotonic()))
end = time.monotonic()
after = {f.name: cpu(f.proc.pid) for f in followers}
mpv_after = cpu(mpv_pid)
for f in followers: f.proc.kill()

def change_latency(f):
    found = []
    for t0, old in changes:
        if f.name.startswith("mirabeck"):
            d = f.first_after(t0, lambda text: mirabeck_title(text) not in (None, old))
        elif "position" in f.name:
            d = f.first_after(t0, lambda text: old not in text and text.strip() != "")
        else:
            d = f.first_after(t0, lambda text: "xesam:title" in text and old not in text)
        if d is not None: found.append(d)
    return statistics.median(found) * 1000 if found else None
def pause_latency(f):
    if not f.name.startswith("mirabeck"): return None  # playerctl's metadata does not show a pause
    found = [d for d in (f.first_after(t0, mirabeck_paused) for t0 in pauses) if d is not None]
    return statistics.median(found) * 1000 if found else None

span = end - start
print(f"window {span:.1f} s; mpv {mpv_after - mpv_before:.3f} s CPU ({100 * (mpv_after - mpv_before) / span:.2f} % of a core)")
print(f"{'follower':38} {'CPU s':>8} {'% core':>7} {'lines':>6} {'CPU/line ms':>12} {'change ms':>10} {'pause ms':>9}")
rows = {}
for f in followers:
    used = after[f.name] - before[f.name]
    lines = f.count_between(start, end)
    per_line = used / lines * 1000 if lines else float("nan")
    rows[f.name] = (used, lines, per_line, change_latency(f), pause_latency(f))
    fmt = lambda v: "n/a" if v is None else f"{v:.0f}"
    print(f"{f.name:38} {used:8.3f} {100 * used / span:7.3f} {lines:6d} {per_line:12.4f} "
          f"{fmt(rows[f.name][3]):>10} {fmt(rows[f.name][4]):>9}")
m = rows["mirabeck --watch"]
p = rows["playerctl --follow position+title"]
plain = rows["playerctl --follow metadata"]
print(f"lines per second (mirabeck): {m[1] / span:.1f}")
print(f"ratio CPU per line mirabeck / playerctl position+title: {m[2] / p[2]:.3f} (goal <= 0.1)")
print(f"mirabeck share of a core: {100 * m[0] / span:.3f} % (goal <= 0.2 %)")
best = min(v for v in (p[3], plain[3]) if v is not None) if (p[3] or plain[3]) else None
if best is not None and m[3] is not None:
    print(f"ratio change latency mirabeck / best playerctl: {m[3] / best:.2f} (goal <= 1)")
PY
