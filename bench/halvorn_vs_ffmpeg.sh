#!/usr/bin/env bash
# Halvorn beside ffmpeg's x11grab on the same private Xorg, one after the
# other in the same run: a 1920x1080 output showing ffplay's testsrc2 at
# 60 fps, 60 fps at 8 Mbit/s, the same encoder preset. Three rows: H.264
# (libx264), HEVC (--hevc beside libx265) and H.264 turned a quarter
# clockwise (--rotate-clockwise beside transpose=clock).
#   bench/halvorn_vs_ffmpeg.sh [seconds, default 20] [preset, default superfast]
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
grab=(ffmpeg -loglevel quiet -f x11grab -framerate 60 -video_size 1920x1080 -i "$DISPLAY+0,0")
colour=scale=out_color_matrix=bt709:out_range=full
x264=(-c:v libx264 -preset "$preset" -tune zerolatency -profile:v baseline -g 30 -bf 0 -refs 1 -b:v 8M -maxrate 8M
  -bufsize 8M -flush_packets 1 -f h264 pipe:1)
x265=(-c:v libx265 -preset "$preset" -tune zerolatency
  -x265-params keyint=30:bframes=0:ref=1:vbv-maxrate=8000:vbv-bufsize=8000 -b:v 8M
  -flush_packets 1 -f hevc pipe:1)

# Each row: its name, the stream's file extension, then the two commands as
# the names of arrays.
rows=(h264 hevc rotated)
h264_ext=h264; h264_halvorn=("${halvorn_cmd[@]}"); h264_ffmpeg=("${grab[@]}" -vf "$colour,format=nv12" "${x264[@]}")
hevc_ext=hevc; hevc_halvorn=("${halvorn_cmd[@]}" --hevc); hevc_ffmpeg=("${grab[@]}" -vf "$colour,format=yuv420p" "${x265[@]}")
rotated_ext=h264; rotated_halvorn=("${halvorn_cmd[@]}" --rotate-clockwise)
rotated_ffmpeg=("${grab[@]}" -vf "transpose=clock,$colour,format=nv12" "${x264[@]}")

# CPU of the whole process (every thread) in ms, read just before it is ended.
cpu_ms() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) * 1000 / hz }' "/proc/$1/stat"; }

measure() {  # file, command...: prints "cpu_ms frames"
  local file="$1"; shift
  "$@" >"$file" 2>/dev/null </dev/null &
  local pid=$!
  sleep "$seconds"
  local cpu; cpu=$(cpu_ms "$pid")
  kill -TERM "$pid"; wait "$pid" || true
  local frames
  frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$file")
  echo "$cpu $frames"
}

declare -A cpu frames p50 p90
for row in "${rows[@]}"; do
  ext="${row}_ext"
  for peer in halvorn ffmpeg; do
    command="${row}_${peer}[@]"
    read -r cpu[$row.$peer] frames[$row.$peer] < <(measure "$work/$row.$peer.${!ext}" "${!command}")
  done
done

# Latency on a still screen: the test picture goes away.
kill "$player"; wait "$player" 2>/dev/null || true; player=""
percentiles() { sort -n | awk '$1 != "nan" { v[n++] = $1 } END {
  if (n == 0) { print "nan nan"; exit }
  printf "%.1f %.1f\n", v[int((n - 1) * 0.5)], v[int((n - 1) * 0.9)] }'; }
for row in "${rows[@]}"; do
  for peer in halvorn ffmpeg; do
    command="${row}_${peer}[@]"
    read -r p50[$row.$peer] p90[$row.$peer] < <(/usr/bin/python3 bench/halvorn_latency.py 20 "${!command}" | percentiles)
  done
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2fx", a / b; else print "n/a" }'; }
per_frame() { awk -v c="$1" -v f="$2" 'BEGIN { if (f > 0) printf "%.2f", c / f; else print "nan" }'; }
echo "1920x1080 testsrc2 at 60 fps, 8 Mbit/s, preset $preset, ${seconds} s each, $(nproc) cores"
for row in "${rows[@]}"; do
  h_pf=$(per_frame "${cpu[$row.halvorn]}" "${frames[$row.halvorn]}")
  f_pf=$(per_frame "${cpu[$row.ffmpeg]}" "${frames[$row.ffmpeg]}")
  echo
  case "$row" in
    h264) echo "H.264 (libx264 beside libx264)";;
    hevc) echo "HEVC: --hevc beside libx265";;
    rotated) echo "H.264 turned: --rotate-clockwise beside transpose=clock";;
  esac
  printf '%-8s %14s %8s %16s %16s\n' "" "CPU ms/frame" "frames" "latency p50 ms" "latency p90 ms"
  printf '%-8s %14s %8s %16s %16s\n' halvorn "$h_pf" "${frames[$row.halvorn]}" "${p50[$row.halvorn]}" \
    "${p90[$row.halvorn]}"
  printf '%-8s %14s %8s %16s %16s\n' ffmpeg "$f_pf" "${frames[$row.ffmpeg]}" "${p50[$row.ffmpeg]}" \
    "${p90[$row.ffmpeg]}"
  printf '%-8s %14s %8s %16s %16s\n' ratio "$(ratio "$h_pf" "$f_pf")" \
    "$(ratio "${frames[$row.halvorn]}" "${frames[$row.ffmpeg]}")" \
    "$(ratio "${p50[$row.halvorn]}" "${p50[$row.ffmpeg]}")" "$(ratio "${p90[$row.halvorn]}" "${p90[$row.ffmpeg]}")"
done
echo
echo "target: CPU per frame <= 1.0x ffmpeg's in each row, latency p50 <= ffmpeg's"
