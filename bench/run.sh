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

. "$root/tests/wine/xvfb.sh"
start_xvfb 87
trap 'wineserver -k >/dev/null 2>&1 || true; kill "$XVFB_PID" 2>/dev/null || true' EXIT

/usr/bin/python3 "$root/bench/measure.py" "$root/build/bin" "$WINEPREFIX" "$runs"
