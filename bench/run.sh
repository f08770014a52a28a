#!/usr/bin/env bash
# Measures Tolvane.exe under Wine on a sample medium, side by side with a
# floor that does the same system work and nothing else
# (bench/min_launcher.cpp) and with the NSIS script a publisher would write
# instead (bench/peer.nsi), measured in the same run.
#
#   bash bench/run.sh [RUNS] [VERSION]   (default 5 runs of each, alternating,
#                                         on Windows as Wine reports it: winxp;
#                                         win7: the repair in an elevated instance)
#
# With BENCH_OTHER=<another program> (another build's Tolvane.exe, or any
# program), it runs in the same turns in place of the floor without a
# window: builds are compared within one run of the bench, as the figures
# move between runs.
#
# Prints medians of: processor time used while a 5-second installer ran,
# start-to-installer and installer-end-to-menu delays (from the stand-ins'
# own timestamps), executable size and peak memory, each program's
# instances summed; then one line "vs peer: ..." of Tolvane / peer ratios.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
version=${2:-winxp}
display=87
. "$root/bench/prefix.sh"

/usr/bin/python3 "$root/bench/measure.py" "$root/build/bin" "$WINEPREFIX" "$runs"
