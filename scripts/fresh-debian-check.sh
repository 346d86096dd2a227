#!/usr/bin/env bash
# Checks that the README's two commands hold on a fresh Debian 12: bootstraps
# a minimal bookworm root (debootstrap --variant=minbase), mounts /proc, /dev,
# /dev/pts, /dev/shm and /sys in it, puts a clone of this repository's
# committed HEAD in /root/veltrane, and runs there as root with an empty
# environment (no LANG or LC_*):
#   1. ./scripts/test.sh
#   2. ./scripts/run.sh --loopback, probing /api/health, then SIGTERM
#      (in a network namespace of its own, so port 8741 is free)
# and reports each status. Every mount and process it started is ended on
# every path; the root is removed afterwards unless KEEP_ROOT=1.
#
#   sudo scripts/fresh-debian-check.sh [root folder, new and empty]
#
# VELTRANE_JOBS sets test.sh's parallel jobs (default: the processor count),
# DEBIAN_MIRROR the archive (default http://deb.debian.org/debian). Logs go
# to ./fresh-debian-check-<time>/ unless LOG_DIR is set. Needs root and
# debootstrap; uncommitted changes are not part of the check.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"

[ "$(id -u)" -eq 0 ] || { echo "run as root (debootstrap, mount and chroot need it)" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "debootstrap is missing: apt-get install debootstrap" >&2; exit 2; }

# Everything below runs in a mount and PID namespace of its own: should this
# script be killed outright, the kernel still ends every process and mount it
# started. The traps below end them on every ordinary path.
if [ -z "${VELTRANE_FRESH_CHECK_INSIDE:-}" ]; then
  export VELTRANE_FRESH_CHECK_INSIDE=1
  exec unshare --mount --propagation private --pid --fork --kill-child --mount-proc "$0" "$@"
fi

mirror="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
jobs="${VELTRANE_JOBS:-$(nproc)}"
logs="${LOG_DIR:-$PWD/fresh-debian-check-$(date +%Y%m%d-%H%M%S)}"
mkdir -p "$logs"
if [ -n "${1:-}" ]; then
  root="$(realpath -m "$1")"
  mkdir -p "$root"
  [ -z "$(ls -A "$root")" ] || { echo "$root is not empty" >&2; exit 2; }
else
  root="$(mktemp -d /var/tmp/veltrane-fresh-debian.XXXXXX)"
fi
chmod 755 "$root"

mounted=()
cleanup() {
  local status=$? pid
  trap - EXIT INT TERM
  # Processes whose root is ours were started by this check.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -KILL "$pid" 2>/dev/null || true
  done
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || echo "could not unmount ${mounted[i]}" >&2
  done
  if grep -qF " $root/" /proc/self/mountinfo; then
    echo "something is still mounted under $root; it is left in place" >&2
  elif [ "${KEEP_ROOT:-0}" = 1 ]; then
    echo "root kept in $root"
  else
    rm -rf --one-file-system "$root"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mount_in_root() {  # <target under the root> <mount arguments>
  local target="$root$1"
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}

echo "== debootstrap --variant=minbase bookworm into $root ($mirror)"
started=$SECONDS
if ! debootstrap --variant=minbase bookworm "$root" "$mirror" >"$logs/debootstrap.log" 2>&1; then
  tail -20 "$logs/debootstrap.log" >&2
  echo "debootstrap failed (is $mirror reachable?); log: $logs/debootstrap.log" >&2
  exit 1
fi
echo "debootstrap: done in $((SECONDS - started)) s"

# The archive is reached through the host's resolver, as on any installed system.
[ -s "$root/etc/resolv.conf" ] || cp -L /etc/resolv.conf "$root/etc/resolv.conf"

mount_in_root /proc -t proc proc
mount_in_root /sys -t sysfs sysfs
mount_in_root /dev --bind /dev
mount_in_root /dev/pts --bind /dev/pts
mount_in_root /dev/shm -t tmpfs -o mode=1777,nosuid,nodev shm

head="$(git -C "$repo" rev-parse HEAD)"
git -C "$repo" diff --quiet HEAD || echo "note: uncommitted changes in $repo are not part of the check"
git clone --quiet --no-hardlinks "$repo" "$root/root/veltrane"
git -C "$root/root/veltrane" checkout --quiet --detach "$head"
echo "clone: $head"

# In the background and waited for: the shell runs a trap only between
# commands, and `wait` is where an INT or TERM cuts in.
in_root() {  # <log name> <shell command run in the clone> [command to run chroot under]
  local log="$1" script="$2"
  shift 2
  (
    "$@" chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      VELTRANE_JOBS="$jobs" /bin/bash -c "cd /root/veltrane && $script" </dev/null 2>&1 | tee "$logs/$log.log"
    exit "${PIPESTATUS[0]}"
  ) &
  wait "$!"
}

echo "== ./scripts/test.sh (log: $logs/test.log)"
started=$SECONDS
test_status=0
in_root test './scripts/test.sh' || test_status=$?
test_took=$((SECONDS - started))

# run.sh serves until SIGTERM; curl and ip come with the packages test.sh installed.
echo "== ./scripts/run.sh --loopback (log: $logs/run.log)"
run_status=0
in_root run '
  ip link set lo up
  ./scripts/run.sh --loopback &
  host=$!
  health=""
  for _ in $(seq 1800); do
    health="$(curl -sf http://127.0.0.1:8741/api/health)" && break
    kill -0 "$host" 2>/dev/null || break
    sleep 1
  done
  echo "health: ${health:-no answer}"
  kill -TERM "$host" 2>/dev/null
  status=0
  wait "$host" || status=$?
  echo "run.sh status on SIGTERM: $status"
  [ -n "$health" ] && [ "$status" -eq 0 ]
' unshare --net || run_status=$?
health_line="$(grep -m1 '^health: ' "$logs/run.log" || true)"
host_line="$(grep -m1 '^run.sh status on SIGTERM: ' "$logs/run.log" || true)"

echo "== summary"
echo "root: debootstrap --variant=minbase bookworm, clone at $head"
grep -E '^(passed|FAILED|skipped) ' "$logs/test.log" | sed 's/^/test.sh stage: /' || true
echo "test.sh: exit status $test_status after $test_took s"
echo "run.sh --loopback: ${health_line:-health: not reached}; ${host_line:-no status}"
echo "run.sh check: $([ "$run_status" -eq 0 ] && echo passed || echo "FAILED (status $run_status)")"
[ "$test_status" -eq 0 ] && [ "$run_status" -eq 0 ]
