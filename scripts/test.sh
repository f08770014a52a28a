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

# One wineserver for the whole run. Left to itself it ends 3 s after the
# prefix's last program, and a program that starts just then loses its
# connection ("wine client error: recvmsg: Connection reset by peer").
# Wine's own services start with it and stay while it does: started here,
# on this display, they keep no test's output open.
wineserver -k >/dev/null 2>&1 || true
wineserver -p || true  # a server that is still there serves as well
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

cd "$root/build"
ctest --output-on-failure -j2 --timeout 300
