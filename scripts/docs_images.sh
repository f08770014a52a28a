#!/usr/bin/env bash
# Makes the pictures of the docs: docs/icon-sizes.png (the icon's six
# images, enlarged 4 times and at their real size), and one screenshot under
# Xvfb of each kind of box a person can see (docs/support.md): the warning
# a missing installer gives (warning-box.png), the report of a failure
# (failure-box.png), the list of switches (switches-box.png) and the box
# about a switch the program does not know (unknown-switch-box.png); the
# last three again in Spanish (*-es.png).
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

# The boxes, each from a run of its own on a medium in C:\Medium.
bash "$root/tests/wine/prepare_prefix.sh" "$WINEPREFIX"
c="$WINEPREFIX/drive_c"
. "$root/tests/wine/xvfb.sh"
start_xvfb 97
xvfb=$XVFB_PID

# shoot PICTURE TITLE [SWITCH...]: runs the program, waits for its box with
# that title, saves it and closes it with Enter.
shoot() {
  local picture=$1 title=$2 box=""
  shift 2
  wine 'C:\Medium\Tolvane.exe' "$@" >/dev/null 2>&1 &
  local run=$!
  for _ in $(seq 150); do
    box=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1) && [ -n "$box" ] && break
    sleep 0.2
  done
  [ -n "$box" ] || { echo "the box for $picture did not appear" >&2; exit 1; }
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$box")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$root/docs/$picture"
  xdotool key --window "$box" Return 2>/dev/null || true
  # The run's end, before the next one lays out its machine: a run cut off
  # here would leave its record for the next.
  for _ in $(seq 150); do kill -0 "$run" 2>/dev/null || break; sleep 0.2; done
  wineserver -w
}
medium() {  # the machine with its control, and a fresh medium
  rm -rf "$c/Medium" "$c/windows/system32/Macromed"
  mkdir -p "$c/windows/system32/Macromed/Flash" "$c/Medium/data"
  cp "$root/build/bin/testctl_installed.dll" "$c/windows/system32/Macromed/Flash/flash.ocx"
  cp "$root/build/bin/Tolvane.exe" "$c/Medium/"
  cp "$root/build/bin/standin.exe" "$c/Medium/data/menu.exe"
  cp "$root/build/bin/testctl_medium.dll" "$c/Medium/data/Flash.ocx"
}

medium  # without its installer
shoot warning-box.png Error
medium  # a damaged control: it does not register, and the user's goes back
cp "$root/build/bin/standin.exe" "$c/Medium/data/install_flash_player.exe"
cp "$root/build/bin/testctl_broken.dll" "$c/Medium/data/Flash.ocx"
shoot failure-box.png Tolvane
medium
shoot switches-box.png Tolvane /?
shoot unknown-switch-box.png Tolvane /bogus
# The same boxes for a person whose Windows speaks Spanish (Wine takes the
# user interface language from LC_ALL).
medium
cp "$root/build/bin/standin.exe" "$c/Medium/data/install_flash_player.exe"
cp "$root/build/bin/testctl_broken.dll" "$c/Medium/data/Flash.ocx"
LC_ALL=es_ES.UTF-8 shoot failure-box-es.png Tolvane
medium
LC_ALL=es_ES.UTF-8 shoot switches-box-es.png Tolvane /?
LC_ALL=es_ES.UTF-8 shoot unknown-switch-box-es.png Tolvane /bogus
echo "wrote docs/icon-sizes.png, warning-box.png, failure-box.png, switches-box.png, unknown-switch-box.png" \
  "and the Spanish failure-box-es.png, switches-box-es.png, unknown-switch-box-es.png"
