# Sourced by benchmark scripts: an X server on the dummy driver in a folder of
# the caller's, the same one tools/xorg/PrivateXorg starts for the tests.
#   private_xorg_start FOLDER   sets DISPLAY and PRIVATE_XORG_PID, or returns 1
#   private_xorg_stop           ends it (by its PID)
private_xorg_start() {
  local folder="$1" conf
  conf="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/dummy.conf"
  mkdir -p "$folder/conf.d"
  Xorg -noreset -nolisten tcp -config "$conf" -configdir "$folder/conf.d" \
    -logfile "$folder/Xorg.log" -displayfd 3 3>"$folder/display" >/dev/null 2>&1 </dev/null &
  PRIVATE_XORG_PID=$!
  local i
  for i in $(seq 1 300); do
    if [ -s "$folder/display" ]; then
      DISPLAY=":$(head -n1 "$folder/display")"
      export DISPLAY
      return 0
    fi
    kill -0 "$PRIVATE_XORG_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "private Xorg did not start; see $folder/Xorg.log" >&2
  private_xorg_stop
  return 1
}

private_xorg_stop() {
  [ -n "${PRIVATE_XORG_PID:-}" ] || return 0
  kill "$PRIVATE_XORG_PID" 2>/dev/null || true
  local i
  for i in $(seq 1 100); do
    kill -0 "$PRIVATE_XORG_PID" 2>/dev/null || break
    sleep 0.05
  done
  kill -9 "$PRIVATE_XORG_PID" 2>/dev/null || true
  wait "$PRIVATE_XORG_PID" 2>/dev/null || true
  PRIVATE_XORG_PID=""
}
