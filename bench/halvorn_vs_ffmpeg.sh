#!/usr/bin/env bash
# Halvorn beside ffmpeg's x11grab + libx264 on the same private Xorg, one
# after the other in the same run: a 1920x1080 output showing ffplay's
# testsrc2 at 60 fps, 60 fps at 8 Mbit/s, the same x264 preset.
#   bench/halvorn_vs_ffmpeg.sh [seconds, default 20] [x264 preset, default superfast]
# Prints for each: CPU ms per frame ((utime + stime) / frames ffprobe
# decodes), frames delivered, and change-to-output latency on a still screen
# (the root colour flipped with xsetroot 20 times; time to the first 4 KB on
# the pipe; p50 and p90), with Halvorn/ffmpeg ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
preset="${2:-superfast}"

for tool in ffmpeg ffprobe ffplay xrandr xsetroot Xorg; do
  command -v "$tool" >/dev/null || { echo "missing $tool (see scripts/debian-packages.txt)" >&2; exit 2; }
done
cmake --preset default >/dev/null
cmake --build --preset default -j3 --target Halvorn >/dev/null
halvorn="$PWD/build/default/helpers/halvorn/Halvorn"

work="$(mktemp -d /tmp/halvorn-bench.XXXXXX)"
# shellcheck source=../tools/xorg/private-xorg.sh
source tools/xorg/private-xorg.sh
player=""
cleanup() {
  [ -z "$player" ] || { kill "$player" 2>/dev/null || true; wait "$player" 2>/dev/null || true; }
  private_xorg_stop
  rm -rf "$work"
}
trap cleanup EXIT
private_xorg_start "$work/xorg"

# DUMMY0 shows 1920x1080 at the origin; its RandR output XID is the display ID.
id=$(( $(xrandr --verbose | awk '/^DUMMY0 /{found=1} found && /Identifier:/ && !done {print $2; done=1}') ))
[ -n "$id" ] || { echo "no DUMMY0 output" >&2; exit 1; }
SDL_AUDIODRIVER=dummy ffplay -loglevel quiet -an -noborder -left 0 -top 0 -f lavfi -i testsrc2=size=1920x1080:rate=60 &
player=$!
sleep 2

halvorn_cmd=("$halvorn" --display-id "$id" --width 1920 --height 1080 --fps 60 --bitrate 8000000)
ffmpeg_cmd=(ffmpeg -loglevel quiet -f x11grab -framerate 60 -video_size 1920x1080 -i "$DISPLAY+0,0"
  -vf scale=out_color_matrix=bt709:out_range=full,format=nv12 -c:v libx264 -preset "$preset"
  -tune zerolatency -profile:v baseline -g 30 -bf 0 -refs 1 -b:v 8M -maxrate 8M -bufsize 8M
  -flush_packets 1 -f h264 pipe:1)

# CPU of the whole process (every thread) in ms, read just before it is ended.
cpu_ms() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) * 1000 / hz }' "/proc/$1/stat"; }

measure() {  # name, command...: prints "cpu_ms frames"
  local name="$1"; shift
  "$@" >"$work/$name.h264" 2>/dev/null </dev/null &
  local pid=$!
  sleep "$seconds"
  local cpu; cpu=$(cpu_ms "$pid")
  kill -TERM "$pid"; wait "$pid" || true
  local frames
  frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 \
    "$work/$name.h264")
  echo "$cpu $frames"
}

read -r h_cpu h_frames < <(measure halvorn "${halvorn_cmd[@]}")
read -r f_cpu f_frames < <(measure ffmpeg "${ffmpeg_cmd[@]}")

# Latency on a still screen: the test picture goes away.
kill "$player"; wait "$player" 2>/dev/null || true; player=""
percentiles() { sort -n | awk '$1 != "nan" { v[n++] = $1 } END {
  if (n == 0) { print "nan nan"; exit }
  printf "%.1f %.1f\n", v[int((n - 1) * 0.5)], v[int((n - 1) * 0.9)] }'; }
read -r h_p50 h_p90 < <(/usr/bin/python3 bench/halvorn_latency.py 20 "${halvorn_cmd[@]}" | percentiles)
read -r f_p50 f_p90 < <(/usr/bin/python3 bench/halvorn_latency.py 20 "${ffmpeg_cmd[@]}" | percentiles)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2fx", a / b; else print "n/a" }'; }
per_frame() { awk -v c="$1" -v f="$2" 'BEGIN { if (f > 0) printf "%.2f", c / f; else print "nan" }'; }
h_pf=$(per_frame "$h_cpu" "$h_frames")
f_pf=$(per_frame "$f_cpu" "$f_frames")
echo "1920x1080 testsrc2 at 60 fps, 8 Mbit/s, x264 preset $preset, ${seconds} s each, $(nproc) cores"
printf '%-8s %14s %8s %16s %16s\n' "" "CPU ms/frame" "frames" "latency p50 ms" "latency p90 ms"
printf '%-8s %14s %8s %16s %16s\n' halvorn "$h_pf" "$h_frames" "$h_p50" "$h_p90"
printf '%-8s %14s %8s %16s %16s\n' ffmpeg "$f_pf" "$f_frames" "$f_p50" "$f_p90"
printf '%-8s %14s %8s %16s %16s\n' ratio "$(ratio "$h_pf" "$f_pf")" "$(ratio "$h_frames" "$f_frames")" \
  "$(ratio "$h_p50" "$f_p50")" "$(ratio "$h_p90" "$f_p90")"
echo "target: CPU per frame <= 1.0x ffmpeg's, latency p50 <= ffmpeg's"
