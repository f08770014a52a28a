#!/usr/bin/env bash
# Runs Tolvane.exe and the NSIS script a publisher would write instead
# (bench/peer.nsi) through the field's cases on the bench's prefix, and
# prints what each leaves as one table (docs/publishing.md shows it).
#
#   bash bench/field.sh [VERSION]   (Windows as Wine reports it: winxp by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=${1:-winxp}
bash "$root/scripts/build.sh"
mkdir -p "$root/build/bench"
makensis -V2 -DOUTFILE="$root/build/bench/peer.exe" "$root/bench/peer.nsi"

export WINEARCH=win32 WINEPREFIX="$root/build/bench-prefix" WINEDEBUG=-all
bash "$root/tests/wine/prepare_prefix.sh" "$WINEPREFIX"
. "$root/tests/wine/xvfb.sh"
start_xvfb 88
trap 'wineserver -k >/dev/null 2>&1 || true; kill "$XVFB_PID" 2>/dev/null || true' EXIT
wineserver -p
wine reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1

/usr/bin/python3 "$root/bench/field.py" "$root/build/bin" "$WINEPREFIX"
