#!/usr/bin/env bash
# Measures Tolvane.exe under Wine on a sample medium, side by side with a
# minimal launcher (bench/min_launcher.cpp) measured in the same run.
#
#   bash bench/run.sh [RUNS]     (default 5 runs of each, alternating)
#
# Prints medians of: processor time used while a 5-second installer ran,
# start-to-installer and installer-end-to-menu delays (from the stand-ins'
# own timestamps), executable size and peak memory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
bash "$root/scripts/build.sh"

export WINEARCH=win32 WINEPREFIX="$root/build/bench-prefix" WINEDEBUG=-all
bash "$root/tests/wine/prepare_prefix.sh" "$WINEPREFIX"

display=87
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1 || true; kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY=":$display"
sleep 1

exec /usr/bin/python3 "$root/bench/measure.py" "$root/build/bin" "$WINEPREFIX" "$runs"
