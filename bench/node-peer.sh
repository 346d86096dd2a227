# Sourced by the bench scripts whose peer is a Node program in bench/peers:
# installs the Debian packages named (when their commands are missing) and
# the peers' locked npm dependencies (when they are missing or older than
# the lock). Run from the repository's top folder.
#
#   install_missing PACKAGE...   (each "command:package", e.g. wrk:wrk)
#   node_peer_modules
install_missing() {
  local need=() entry
  for entry in "$@"; do
    command -v "${entry%%:*}" >/dev/null || [ -x "${entry%%:*}" ] || need+=("${entry#*:}")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  local sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${need[*]}" >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null >/dev/null
}

node_peer_modules() {
  local peers=bench/peers
  if [ ! -f "$peers/node_modules/.package-lock.json" ] || [ "$peers/package-lock.json" -nt "$peers/node_modules/.package-lock.json" ]; then
    npm ci --prefix "$peers" --no-audit --no-fund --loglevel=error >/dev/null
  fi
}
