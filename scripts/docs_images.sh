#!/usr/bin/env bash
# Makes the README's pictures: docs/icon-sizes.png (the icon's six images,
# enlarged 4 times and at their real size) and docs/warning-box.png (the box
# a missing installer produces, screenshot under Xvfb).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
IM=/usr/bin/convert
work=$(mktemp -d /tmp/tolvane-docs.XXXXXX)
export WINEARCH=win32 WINEPREFIX="$work/prefix" WINEDEBUG=-all
xvfb=""
cleanup() { wineserver -k >/dev/null 2>&1 || true; [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

# The icon: the six images in a row (48, 32, 16 px; 8 then 32 bpp each), 4x.
icotool -x -o "$work" "$root/resources/tolvane.ico"
tiles=()
for f in "$work"/tolvane_*_48x48x8.png "$work"/tolvane_*_48x48x32.png "$work"/tolvane_*_32x32x8.png \
         "$work"/tolvane_*_32x32x32.png "$work"/tolvane_*_16x16x8.png "$work"/tolvane_*_16x16x32.png; do
  $IM "$f" -background '#f0f0f0' -gravity center -extent 48x48 -scale 400% "$work/tile-$(basename "$f")"
  tiles+=("$work/tile-$(basename "$f")")
done
$IM "${tiles[@]}" -bordercolor white -border 6 +append "$root/docs/icon-sizes.png"

# The warning box: a medium without its installer.
bash "$root/tests/wine/prepare_prefix.sh" "$WINEPREFIX"
c="$WINEPREFIX/drive_c"
mkdir -p "$c/windows/system32/Macromed/Flash" "$c/Medium/data"
cp "$root/build/bin/Tolvane.exe" "$c/Medium/"
cp "$root/build/bin/standin.exe" "$c/Medium/data/menu.exe"
cp "$root/build/bin/testctl_medium.dll" "$c/Medium/data/Flash.ocx"
. "$root/tests/wine/xvfb.sh"
start_xvfb 97
xvfb=$XVFB_PID
wine 'C:\Medium\Tolvane.exe' >/dev/null 2>&1 &
box=""
for _ in $(seq 100); do
  box=$(xdotool search --name '^Error$' 2>/dev/null | head -1) && [ -n "$box" ] && break
  sleep 0.2
done
[ -n "$box" ] || { echo "the warning box did not appear" >&2; exit 1; }
sleep 1
eval "$(xdotool getwindowgeometry --shell "$box")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$root/docs/warning-box.png"
xdotool key --window "$box" Return 2>/dev/null || wineserver -k
wineserver -w
echo "wrote docs/icon-sizes.png and docs/warning-box.png"
