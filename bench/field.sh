#!/usr/bin/env bash
# Runs Tolvane.exe and the NSIS script a publisher would write instead
# (bench/peer.nsi) through the field's cases on the bench's prefix, and
# prints what each leaves as one table (docs/publishing.md shows it).
#
#   bash bench/field.sh [VERSION]   (Windows as Wine reports it: winxp by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=${1:-winxp}
display=88
. "$root/bench/prefix.sh"

/usr/bin/python3 "$root/bench/field.py" "$root/build/bin" "$WINEPREFIX"
