#!/usr/bin/env bash
# Brennick beside parec, the server's own recorder, in one run: a private Xorg
# and PulseAudio, one 440 Hz ffplay window on the streamed output; Brennick
# taps it while `parec --monitor-stream=<its sink input> --latency-msec=10`
# records the same stream. Over the window (default 30 s):
#   - processor use of each (utime + stime from /proc), as % of one core;
#   - onset latency: the stream is muted, then unmuted with pactl 20 times;
#     the time from the unmute to the first chunk above -30 dBFS, p50 and p90.
# Ratios are Brennick / parec. Every process started here is ended on exit.
#   bench/brennick_vs_parec.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }
for tool in Xorg pulseaudio pactl parec ffplay xrandr; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (see scripts/debian-packages.txt)" >&2; exit 2; }
done

cmake --preset default >/dev/null
cmake --build --preset default -j3 --target Brennick >/dev/null
brennick="$PWD/build/default/helpers/brennick/Brennick"

work="$(mktemp -d)"
pids=()
source tools/xorg/private-xorg.sh
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  private_xorg_stop
  rm -rf "$work"
}
trap cleanup EXIT

private_xorg_start "$work/x"
mkdir -p "$work/home" "$work/config" "$work/run"
cat > "$work/default.pa" <<PA
load-module module-native-protocol-unix socket=$work/native auth-anonymous=1
load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers
set-default-sink speakers
PA
env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" \
  pulseaudio -n --daemonize=no --system=no --exit-idle-time=-1 --use-pid-file=no --realtime=no \
  --high-priority=no --disable-shm=yes -F "$work/default.pa" >"$work/pulse.log" 2>&1 </dev/null &
pids+=($!)
export PULSE_SERVER="unix:$work/native" PULSE_COOKIE="$work/cookie"
head -c 256 /dev/zero >"$PULSE_COOKIE"
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done

xrandr --newmode tablet 25.175 640 656 752 800 480 490 492 525 -hsync -vsync
xrandr --addmode DUMMY1 tablet
xrandr --output DUMMY1 --mode tablet --right-of DUMMY0
output=$(xrandr --verbose | awk '/^DUMMY1 /{f=1} f&&/Identifier:/{print $2; f=0}')
output=$((output))

SDL_VIDEO_X11_WMCLASS=org.bench.tone ffplay -loglevel error -nostats -left 2000 -top 100 -f lavfi \
  "testsrc=size=160x120:rate=2[out0];sine=frequency=440:sample_rate=48000[out1]" >/dev/null 2>&1 </dev/null &
pids+=($!)
for _ in $(seq 200); do [ -n "$(pactl list short sink-inputs)" ] && break; sleep 0.05; done
input=$(pactl list short sink-inputs | awk 'NR==1{print $1}')
[ -n "$input" ] || { echo "the tone did not start" >&2; exit 1; }
sleep 0.5

/usr/bin/python3 - "$brennick" "$output" "$input" "$seconds" <<'PY'
import os, statistics, struct, subprocess, sys, threading, time
brennick, output, sink_input, seconds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
THRESHOLD = int(32768 * 10 ** (-30 / 20))
TICK = os.sysconf("SC_CLK_TCK")

def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK

class Reader:
    """Notes the arrival time of every chunk whose peak passes the threshold."""
    def __init__(self, name, proc, packets):
        self.name, self.proc, self.packets = name, proc, packets
        self.loud = []          # arrival times of loud chunks
        self.lock = threading.Lock()
        threading.Thread(target=self.run, daemon=True).start()
    def read_exactly(self, n):
        data = b""
        while len(data) < n:
            more = self.proc.stdout.read(n - len(data))
            if not more: return None
            data += more
        return data
    def run(self):
        while True:
            if self.packets:
                head = self.read_exactly(4)
                if head is None: return
                data = self.read_exactly(struct.unpack(">I", head)[0])
            else:
                data = self.proc.stdout.read1(3840)
                data = data[: len(data) // 4 * 4]
            if not data: return
            now = time.monotonic()
            samples = memoryview(data).cast("h")
            if max(abs(min(samples)), max(samples)) > THRESHOLD:
                with self.lock: self.loud.append(now)
    def first_after(self, t0):
        with self.lock:
            return next((t for t in self.loud if t > t0), None)

def pactl(*args):
    subprocess.run(["pactl", *args], check=True, stdout=subprocess.DEVNULL)

tap = subprocess.Popen([brennick, "--display-id", output], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE)
notice = tap.stderr.readline().decode().strip()
if not notice.startswith("Core Audio app tap active for 1 "):
    sys.exit(f"Brennick did not start: {notice}")
parec = subprocess.Popen(["parec", f"--monitor-stream={sink_input}", "--latency-msec=10", "--raw",
                          "--format=s16le", "--rate=48000", "--channels=2"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
readers = [Reader("Brennick", tap, True), Reader("parec", parec, False)]
time.sleep(1)

rounds = 20
period = seconds / rounds
cpu0 = {r.name: cpu_seconds(r.proc.pid) for r in readers}
wall0 = time.monotonic()
latency = {r.name: [] for r in readers}
for _ in range(rounds):
    pactl("set-sink-input-mute", sink_input, "1")
    time.sleep(period * 0.6)
    t0 = time.monotonic()
    pactl("set-sink-input-mute", sink_input, "0")
    time.sleep(period * 0.4)
    for r in readers:
        t = r.first_after(t0)
        if t is not None: latency[r.name].append((t - t0) * 1000)
wall = time.monotonic() - wall0
cpu = {r.name: (cpu_seconds(r.proc.pid) - cpu0[r.name]) / wall * 100 for r in readers}
for p in (tap, parec):
    p.terminate()
    p.wait(timeout=10)

def pct(values, q):
    if not values: return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(round(q * (len(values) - 1))))]

print(f"window {wall:.1f} s, {rounds} unmutes of a 440 Hz stream; threshold -30 dBFS")
print(f"{'':10} {'CPU %':>8} {'onset p50 ms':>13} {'onset p90 ms':>13} {'onsets':>7}")
for name in ("Brennick", "parec"):
    print(f"{name:10} {cpu[name]:8.2f} {pct(latency[name], .5):13.1f} {pct(latency[name], .9):13.1f} {len(latency[name]):7d}")
def ratio(a, b): return a / b if b else float("nan")
print(f"{'ratio':10} {ratio(cpu['Brennick'], cpu['parec']):8.2f} "
      f"{ratio(pct(latency['Brennick'], .5), pct(latency['parec'], .5)):13.2f} "
      f"{ratio(pct(latency['Brennick'], .9), pct(latency['parec'], .9)):13.2f}")
PY
