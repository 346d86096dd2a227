#!/usr/bin/env bash
# Mode changes of the virtual display on a private Xorg (dummy driver): N
# alternating changes between 2560x1600 and 1600x2560 through Ostrevel (from
# the command written to its ORIENTATION line) and the same sizes switched by
# `xrandr --output DUMMYn --mode ...` on another spare output (modes added
# beforehand), in the same run. Prints p50 and p95 of both and the ratio of
# Ostrevel's time beyond its fixed 0.2 s of settling waits to xrandr's.
#   bench/ostrevel_modes.sh [changes, default 100]
set -euo pipefail
cd "$(dirname "$0")/.."
changes="${1:-100}"
settle_ms=200

cmake --preset default >/dev/null
cmake --build --preset default --target Ostrevel >/dev/null
ostrevel="$PWD/build/default/helpers/ostrevel/Ostrevel"
# shellcheck source=../tools/xorg/private-xorg.sh
source tools/xorg/private-xorg.sh

work="$(mktemp -d)"
helper_pid=""
cleanup() {
  if [ -n "$helper_pid" ]; then kill "$helper_pid" 2>/dev/null || true; wait "$helper_pid" 2>/dev/null || true; fi
  private_xorg_stop
  rm -rf "$work"
}
trap cleanup EXIT
private_xorg_start "$work"

# Microseconds from bash's own clock: no process started inside a measurement.
now_us() { echo "${EPOCHREALTIME/./}"; }
ms() { local us=$(($2 - $1)); printf '%d.%03d\n' $((us / 1000)) $((us % 1000)); }
stats() {  # file of milliseconds -> "p50 p95"
  sort -n "$1" | awk '{ v[NR] = $1 } END { i50 = int((NR + 1) * 0.50); i95 = int((NR + 1) * 0.95);
    if (i50 < 1) i50 = 1; if (i95 > NR) i95 = NR; printf "%.2f %.2f", v[i50], v[i95] }'
}

# Ostrevel: command written, ORIENTATION line read.
coproc OSTREVEL { exec "$ostrevel" 2>"$work/ostrevel.err"; }
helper_pid=$OSTREVEL_PID
read -r line <&"${OSTREVEL[0]}"
read -r ready <&"${OSTREVEL[0]}"
case "$ready" in READY*) ;; *) echo "Ostrevel did not start: $line $ready $(cat "$work/ostrevel.err")" >&2; exit 1 ;; esac
for i in $(seq 1 "$changes"); do
  if [ $((i % 2)) -eq 1 ]; then command="mode 2560 1600 1"; else command="mode 1600 2560 1"; fi
  start=$(now_us)
  echo "$command" >&"${OSTREVEL[1]}"
  read -r line <&"${OSTREVEL[0]}"
  end=$(now_us)
  case "$line" in ORIENTATION*) ;; *) echo "unexpected: $line" >&2; exit 1 ;; esac
  ms "$start" "$end" >>"$work/ostrevel.ms"
done
echo quit >&"${OSTREVEL[1]}"
wait "$helper_pid" || true
helper_pid=""

# xrandr on a spare output of its own, with the same CVT modes added first.
output="$(xrandr | awk '$1 ~ /^DUMMY/ && $1 != "DUMMY0" { print $1; exit }')"
xrandr --newmode bench-2560x1600 348.5 2560 2760 3032 3504 1600 1603 1609 1658 -hsync +vsync
xrandr --newmode bench-1600x2560 353.5 1600 1736 1912 2224 2560 2563 2573 2651 -hsync +vsync
xrandr --addmode "$output" bench-2560x1600
xrandr --addmode "$output" bench-1600x2560
for i in $(seq 1 "$changes"); do
  if [ $((i % 2)) -eq 1 ]; then mode=bench-2560x1600; else mode=bench-1600x2560; fi
  start=$(now_us)
  xrandr --output "$output" --mode "$mode" --right-of DUMMY0
  end=$(now_us)
  ms "$start" "$end" >>"$work/xrandr.ms"
done

read -r o50 o95 <<<"$(stats "$work/ostrevel.ms")"
read -r x50 x95 <<<"$(stats "$work/xrandr.ms")"
printf '%d alternating changes of 2560x1600 and 1600x2560 on %s\n' "$changes" "$DISPLAY"
printf 'Ostrevel  p50 %8.2f ms  p95 %8.2f ms  (the fixed waits: %d ms)\n' "$o50" "$o95" "$settle_ms"
printf 'xrandr    p50 %8.2f ms  p95 %8.2f ms\n' "$x50" "$x95"
awk -v o50="$o50" -v o95="$o95" -v x50="$x50" -v x95="$x95" -v s="$settle_ms" 'BEGIN {
  printf "Ostrevel beyond its waits / xrandr: p50 %.2f, p95 %.2f (target <= 1.0)\n", (o50 - s) / x50, (o95 - s) / x95 }'
