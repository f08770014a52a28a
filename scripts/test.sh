#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine with a
# private X display. Ends with ctest's summary and its exit code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"

export WINEARCH=win32 WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all
bash "$root/tests/wine/prepare_prefix.sh" "$WINEPREFIX"

# One X server for the whole run: message boxes only really appear on a display.
. "$root/tests/wine/xvfb.sh"
start_xvfb 77
trap 'wineserver -k >/dev/null 2>&1 || true; kill "$XVFB_PID" 2>/dev/null || true' EXIT

cd "$root/build"
ctest --output-on-failure -j2 --timeout 300
