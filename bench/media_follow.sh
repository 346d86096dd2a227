#!/usr/bin/env bash
# How closely the Control Deck follows a real player, beside playerctl in the
# same run: a private session bus, mpv (MPRIS plugin, no audio or video
# output) looping two generated tracks with a cover, the host with its host
# adapters and one paired WebSocket client, and
#   playerctl --follow metadata --format '{{status}}|{{position}}|{{title}}'
# on the same player. Ten changes, each one D-Bus call (Next, Pause, Play,
# SetPosition), are timed from the call to the deck's first state push that
# shows it and to playerctl's first line that shows it. Then SECONDS (default
# 60) of playing with the client connected: the processor time of the host
# and of its watcher child, mirabeck (/proc/PID/task/*/schedstat).
# Goals: the deck's median push latency at most 2 x playerctl's + 10 ms; host
# and watcher together at most 0.5 % of one core. Every process started here
# is ended on exit.
#   bench/media_follow.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] && [ "$seconds" -ge 10 ] || { echo "usage: $0 [SECONDS >= 10]" >&2; exit 2; }
for tool in mpv playerctl ffmpeg dbus-daemon dbus-send; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (see scripts/debian-packages.txt)" >&2; exit 2; }
done
[ -f /usr/lib/mpv-mpris/mpris.so ] || { echo "mpv-mpris is missing (see scripts/debian-packages.txt)" >&2; exit 2; }

cmake --preset default >/dev/null
cmake --build --preset default -j3 --target control-deck mirabeck >/dev/null
host="$PWD/build/default/app/control-deck"

work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
. bench/mpv-peer.sh

mpv_peer "$work"

port="$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
"$host" --loopback --auto-approve --port "$port" --data-dir "$work/data" >"$work/host.out" 2>"$work/host.err" &
host_pid=$!
pids+=($host_pid)

/usr/bin/python3 - "$host_pid" "$port" "$seconds" "$work/host.out" <<'PY'
import json, os, re, socket, statistics, subprocess, sys, threading, time, urllib.request
host_pid, port, seconds, host_out = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]

def cpu(pid):
    total = 0
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return 0
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9

def watcher_of(pid):
    for entry in os.listdir("/proc"):
        if not entry.isdigit(): continue
        try:
            with open(f"/proc/{entry}/stat") as f: stat = f.read()
        except OSError:
            continue
        name, rest = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2:].split()
        if name == "mirabeck" and int(rest[1]) == pid and rest[0] != "Z": return int(entry)
    return None

code = None
for _ in range(600):
    with open(host_out) as f:
        found = re.search(r"PAIRING_CODE (\d{6})", f.read())
    if found: code = found.group(1); break
    time.sleep(0.05)
if not code: sys.exit("the host did not offer a pairing code")

def post(path, body):
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", json.dumps(body).encode(),
                                     {"Content-Type": "application/json"})
    return json.load(urllib.request.urlopen(request, timeout=10))["data"]
paired = post("/api/pairing/request", {"code": code, "deviceName": "Bench Tab"})
token = post("/api/session", {"deviceId": paired["deviceId"], "deviceToken": paired["deviceToken"]})["session"]

# One WebSocket client; every state push's media object with its arrival.
ws = socket.create_connection(("127.0.0.1", port), timeout=30)
ws.sendall((f"GET /ws?session={token} HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
            "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
            "Sec-WebSocket-Version: 13\r\n\r\n").encode())
head = b""
while b"\r\n\r\n" not in head: head += ws.recv(1)
if b" 101 " not in head: sys.exit("the WebSocket upgrade failed")
ws.settimeout(None)
pushes, lock = [], threading.Lock()
def exactly(n):
    data = b""
    while len(data) < n:
        chunk = ws.recv(n - len(data))
        if not chunk: raise EOFError
        data += chunk
    return data
def read_pushes():
    try:
        while True:
            b0, b1 = exactly(2)
            n = b1 & 0x7F
            if n == 126: n = int.from_bytes(exactly(2), "big")
            elif n == 127: n = int.from_bytes(exactly(8), "big")
            payload = exactly(n)
            arrived = time.monotonic()
            if b0 & 0x0F != 1: continue
            message = json.loads(payload)
            if message.get("type") == "state" and "media" in message.get("payload", {}):
                with lock: pushes.append((arrived, message["payload"]["media"]))
    except (EOFError, OSError):
        pass
threading.Thread(target=read_pushes, daemon=True).start()

follow = subprocess.Popen(["playerctl", "-p", "mpv", "--follow", "metadata", "--format",
                           "{{status}}|{{position}}|{{title}}"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True)
lines = []
def read_lines():
    for text in follow.stdout:
        arrived = time.monotonic()
        parts = text.rstrip("\n").split("|", 2)
        if len(parts) == 3:
            with lock: lines.append((arrived, parts))
threading.Thread(target=read_lines, daemon=True).start()

def playerctl(*args):
    return subprocess.run(["playerctl", "-p", "mpv", *args], stdout=subprocess.PIPE, text=True).stdout.strip()
def call(method, *args):
    subprocess.run(["dbus-send", "--session", "--type=method_call", "--dest=org.mpris.MediaPlayer2.mpv",
                    "/org/mpris/MediaPlayer2", f"org.mpris.MediaPlayer2.Player.{method}", *args], check=True)
def first_after(items, t0, shows, bound=10):
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        with lock:
            hit = next((t for t, item in items if t >= t0 and shows(item)), None)
        if hit is not None: return (hit - t0) * 1000
        time.sleep(0.005)
    return None

# Wait until the deck shows the player.
for _ in range(600):
    with lock:
        if any(m.get("title") == playerctl("metadata", "xesam:title") for _, m in pushes): break
    time.sleep(0.05)
time.sleep(2)

deck, peer = [], []
plan = ["next", "pause", "seek", "play", "next", "pause", "seek", "play", "next", "seek"]
seek_target = 20.0
for kind in plan:
    title = playerctl("metadata", "xesam:title")
    if kind == "next":
        deck_shows = lambda m, old=title: m.get("title") not in (None, old)
        peer_shows = lambda p, old=title: p[2] not in ("", old)
        args = ("Next",)
    elif kind in ("pause", "play"):
        playing = kind == "play"
        deck_shows = lambda m, playing=playing: m.get("playing") is playing
        peer_shows = lambda p, playing=playing: p[0] == ("Playing" if playing else "Paused")
        args = ("Play",) if playing else ("Pause",)
    else:
        seek_target = 20.0 if seek_target != 20.0 else 35.0
        track = playerctl("metadata", "mpris:trackid").strip("'\"")
        deck_shows = lambda m, target=seek_target: abs(m.get("elapsed", -99) - target) < 1.0
        peer_shows = lambda p, target=seek_target: p[1].isdigit() and abs(int(p[1]) / 1e6 - target) < 1.0
        args = ("SetPosition", f"objpath:{track}", f"int64:{int(seek_target * 1e6)}")
    t0 = time.monotonic()
    call(*args)
    d, p = first_after(pushes, t0, deck_shows), first_after(lines, t0, peer_shows)
    print(f"{kind:6} deck push {'missed' if d is None else f'{d:7.1f} ms'}   playerctl "
          f"{'missed' if p is None else f'{p:7.1f} ms'}")
    if d is not None: deck.append(d)
    if p is not None: peer.append(p)
    time.sleep(1.5)
follow.kill()
if playerctl("status") != "Playing": call("Play")

time.sleep(2)
watcher = watcher_of(host_pid)
start = time.monotonic()
host_before, watcher_before = cpu(host_pid), cpu(watcher) if watcher else 0
time.sleep(seconds)
span = time.monotonic() - start
with lock: pushed = sum(1 for t, _ in pushes if t >= start)
host_used = cpu(host_pid) - host_before
watcher_after = watcher_of(host_pid)
watcher_used = (cpu(watcher) - watcher_before) if watcher and watcher_after == watcher else float("nan")

dm, pm = statistics.median(deck), statistics.median(peer)
print(f"median push latency: deck {dm:.1f} ms over {len(deck)} changes, playerctl {pm:.1f} ms over {len(peer)}")
print(f"ratio deck / playerctl: {dm / pm:.2f}; goal: deck <= 2 x playerctl + 10 ms = {2 * pm + 10:.1f} ms "
      f"({'met' if dm <= 2 * pm + 10 else 'not met'})")
both = host_used + watcher_used
print(f"{span:.0f} s playing, one client: host {100 * host_used / span:.3f} % of a core, mirabeck "
      f"{100 * watcher_used / span:.3f} %, together {100 * both / span:.3f} % (goal <= 0.5 %: "
      f"{'met' if both / span <= 0.005 else 'not met'}); {pushed / span:.1f} state pushes a second")
PY
