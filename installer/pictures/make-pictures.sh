#!/usr/bin/env bash
# Draws the installer's pictures and icon with ImageMagick; the results are
# committed, run this again only to change them.
#   fadein.gif   220x162  the product's mark on black, faded in after extraction
#   backdrop.gif 220x350  a pale picture behind the wizard's texts
#   corner.gif   90x69    the small mark in the window's corner
#   installer.ico         the program's icon, 32x32 and 16x16
set -euo pipefail
cd "$(dirname "$0")"
t=$(mktemp -d); trap 'rm -rf "$t"' EXIT

# A framed landscape "thumbnail": sky, two hills, a sun, a black frame.
# scene W H OUT
scene() {
  local w=$1 h=$2 f=$(( $1 / 40 + 1 ))
  convert -size "${w}x${h}" gradient:'#5aa0ff'-'#cfe6ff' \
    -fill '#3c9a3c' -draw "polygon 0,$h 0,$((h * 3 / 5)) $((w / 3)),$((h * 2 / 5)) $((w * 2 / 3)),$h" \
    -fill '#2f7d2f' -draw "polygon $((w / 3)),$h $((w * 3 / 4)),$((h / 2)) $w,$((h * 3 / 5)) $w,$h" \
    -fill '#ffd23c' -draw "circle $((w * 3 / 4)),$((h / 4)) $((w * 3 / 4 + w / 10)),$((h / 4))" \
    -bordercolor black -border "$f" -bordercolor white -border "$f" "$3"
}

# 107: three thumbnails fanned out above the name, on black.
scene 70 52 "$t/a.png"
convert "$t/a.png" -modulate 100,60,130 "$t/b.png"
convert "$t/a.png" -modulate 105,120,70 "$t/c.png"
convert -size 220x162 xc:black \
  \( "$t/b.png" -background none -rotate -12 \) -geometry +18+14 -composite \
  \( "$t/c.png" -background none -rotate 10 \) -geometry +118+12 -composite \
  \( "$t/a.png" -background none \) -geometry +72+6 -composite \
  -fill white -font DejaVu-Sans-Bold -pointsize 26 -gravity south -annotate +0+34 'Lumetta' \
  -fill '#a0a0a0' -font DejaVu-Sans -pointsize 11 -annotate +0+18 'NORVANE INFORMATION' \
  -gravity northwest -colors 128 fadein.gif

# 109: a tall pale scene, light enough to read black text over it.
scene 206 336 "$t/tall.png"
convert "$t/tall.png" -resize 220x350\! -modulate 100,45 -fill white -colorize 78% \
  -dither None -colors 64 backdrop.gif

# 110: the mark small, with the name beneath, on white.
scene 58 40 "$t/small.png"
convert -size 90x69 xc:white "$t/small.png" -geometry +13+2 -composite \
  -fill '#202020' -font DejaVu-Sans-Bold -pointsize 12 -gravity south -annotate +0+2 'Lumetta' \
  -gravity northwest -colors 64 corner.gif

for s in 32 16; do
  scene $((s - 4)) $((s * 3 / 4 - 4)) "$t/i$s.png"
  convert -size ${s}x${s} xc:none "$t/i$s.png" -gravity center -composite PNG32:"$t/icon$s.png"
done
convert "$t/icon32.png" "$t/icon16.png" installer.ico
