#!/usr/bin/env bash
# Masters the sample medium with the publisher's tool and copies the image's
# files out by their Joliet names, as Windows reads the CD.
#
#   bash scripts/master_sample.sh BIN_DIR DESTINATION
#
# BIN_DIR holds the build (Tolvane.exe, the stand-in, the test controls);
# DESTINATION becomes the medium's root; the image itself is left beside it
# as DESTINATION.iso. Prints the tool's table.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$1 destination=$2
work=$(mktemp -d /tmp/tolvane-sample.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data/content"
cp "$bin/standin.exe" "$work/data/install_flash_player.exe"
cp "$bin/standin.exe" "$work/data/menu.exe"
cp "$bin/testctl_medium.dll" "$work/data/Flash.ocx"
printf 'The menu'"'"'s own pages would be here.\r\n' > "$work/data/content/index.txt"
rm -rf "$destination" "$destination.iso"
/usr/bin/python3 "$root/tools/make_medium.py" "$work/data" --exe "$bin/Tolvane.exe" --label "Tolvane sample" \
  -o "$destination.iso"
/usr/bin/python3 "$root/tools/extract_medium.py" "$destination.iso" "$destination"
