#!/usr/bin/env bash
# Draws the application icon (a disc with a wrench across it) and packs it as
# resources/tolvane.ico: 48, 32 and 16 pixels, each at 8 and at 32 bits per pixel.
# Needs ImageMagick and icoutils (scripts/setup.sh installs them).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Real ImageMagick (a wrapper earlier on PATH may flatten transparency).
IM=/usr/bin/convert

# The master picture at 256 pixels: a silver disc with a blue label ring and
# a centre hole, and a steel wrench with an orange grip lying across it.
$IM -size 256x256 xc:none \
  -fill '#c3ccd6' -stroke '#4e5966' -strokewidth 6 -draw 'circle 128,128 128,8' \
  -stroke none -fill '#e9eef4' -draw 'circle 128,128 128,30' \
  -fill '#3d7bd9' -draw 'circle 128,128 128,66' \
  -fill '#dfe6ee' -draw 'circle 128,128 128,92' \
  -fill none -stroke '#4e5966' -strokewidth 6 -draw 'circle 128,128 128,106' \
  "$work/disc.png"

# The wrench is drawn upright, outlined, then turned 45 degrees.
$IM -size 256x256 xc:none \
  -fill '#d5dae0' -draw 'circle 128,64 128,20' -draw 'rectangle 114,80 142,170' \
  \( -size 256x256 xc:none -fill black -draw 'rectangle 113,10 143,66' \) -compose DstOut -composite \
  -compose over -fill '#e8782f' -draw 'roundrectangle 111,150 145,246 14,14' \
  \( +clone -alpha extract -morphology Dilate Disk:5 -background '#262a2f' -alpha shape \) \
  +swap -composite \
  -background none -distort SRT '128,128 1.0 45 128,128' \
  "$work/wrench.png"

$IM "$work/disc.png" "$work/wrench.png" -composite "$work/master.png"

pngs=()
for size in 48 32 16; do
  # 32 bits per pixel: full colour with an alpha channel.
  $IM "$work/master.png" -filter Lanczos -resize ${size}x${size} -unsharp 0x0.6 \
    PNG32:"$work/icon-$size-32.png"
  # 8 bits per pixel: the same picture reduced to a palette of at most 255 colours.
  $IM "$work/icon-$size-32.png" -channel A -threshold 50% +channel \
    -colors 255 PNG8:"$work/icon-$size-8.png"
  pngs+=(-b 8 "$work/icon-$size-8.png" -b 32 "$work/icon-$size-32.png")
done
icotool -c -o "$here/tolvane.ico" "${pngs[@]}"
# Each 8-bit image keeps only the palette entries it uses.
/usr/bin/python3 "$here/compact_palettes.py" "$here/tolvane.ico"

icotool -l "$here/tolvane.ico"
