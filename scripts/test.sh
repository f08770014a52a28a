#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine with a
# private X display. Ends with ctest's summary and its exit code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"

export WINEARCH=win32 WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all
bash "$root/tests/wine/prepare_prefix.sh" "$WINEPREFIX"

# One X server for the whole run: message boxes only really appear on a display.
display=77
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() { wineserver -k >/dev/null 2>&1 || true; kill "$xvfb" 2>/dev/null || true; }
trap cleanup EXIT
export DISPLAY=":$display"
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

cd "$root/build"
ctest --output-on-failure -j2 --timeout 300
