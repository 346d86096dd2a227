#!/usr/bin/env bash
# Installs every Debian package the build and tests need. Idempotent: does
# nothing when all are present.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
mapfile -t packages < <(grep -v -E '^\s*(#|$)' "$here/debian-packages.txt")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
