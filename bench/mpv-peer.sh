# Sourced by the bench scripts that follow a real player: two generated
# tracks (600 s tones, tagged) with a 2400 x 1600 cover beside them in WORK,
# a private session bus and mpv (MPRIS plugin, no audio or video output)
# looping them until it plays.
#
#   mpv_peer WORK
#
# exports DBUS_SESSION_BUS_ADDRESS, sets mpv_pid, and adds the bus's and
# mpv's PIDs to the caller's `pids` array, which its exit trap ends.
mpv_peer() {
  local work="$1"
  ffmpeg -loglevel error -y -f lavfi -i sine=frequency=440:duration=600 -metadata title="First Tone" \
    -metadata artist="A & B" -metadata album="Bench" "$work/1.mp3"
  ffmpeg -loglevel error -y -f lavfi -i sine=frequency=660:duration=600 -metadata title="Second Tone" \
    -metadata artist="C" -metadata album="Bench" "$work/2.mp3"
  ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=2400x1600,noise=alls=60:allf=t" -frames:v 1 -q:v 2 \
    "$work/cover.jpg"

  dbus-daemon --session --nofork --nopidfile --print-address=1 >"$work/address" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/address" ] && break; sleep 0.05; done
  DBUS_SESSION_BUS_ADDRESS="$(head -1 "$work/address")"
  export DBUS_SESSION_BUS_ADDRESS
  mpv --no-config --script=/usr/lib/mpv-mpris/mpris.so --ao=null --vo=null --loop-playlist=inf \
    "$work/1.mp3" "$work/2.mp3" >/dev/null 2>&1 </dev/null &
  mpv_pid=$!
  pids+=($mpv_pid)
  for _ in $(seq 200); do [ "$(playerctl -p mpv status 2>/dev/null)" = Playing ] && break; sleep 0.05; done
}
