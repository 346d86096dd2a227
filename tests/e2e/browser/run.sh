#!/usr/bin/env bash
# The browser check as CTest runs it: run.sh <control-deck binary> <work folder>.
# Drives Debian's Chromium through chromedriver with Debian's python3-selenium,
# under an overall limit. Where the system allows, the run gets a PID namespace
# of its own: however it ends, the kernel then ends the browser, the driver and
# the host with it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
host="${1:?control-deck binary}"
work="${2:?work folder}"

# Chromium hands the chosen file's name through the locale: in the POSIX
# locale a non-ASCII name never reaches the page. C.UTF-8 is built into
# Debian's C library, so it needs no locales package.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset LANGUAGE

isolate=()
if unshare --pid --fork --kill-child --mount-proc true 2>/dev/null; then
  isolate=(unshare --pid --fork --kill-child --mount-proc)
fi
exec timeout -k 10 420 "${isolate[@]}" /usr/bin/python3 "$here/run.py" "$host" "$work"
