#!/usr/bin/env bash
# Draws the library's icons with ImageMagick; the .ico files are committed,
# run this again only to change them.
set -euo pipefail
cd "$(dirname "$0")"
t=$(mktemp -d); trap 'rm -rf "$t"' EXIT
# 101: a framed landscape picture, the product's own icon.
for s in 32 16; do
  m=$((s - 1)); f=$((s / 16))
  convert -size ${s}x${s} xc:none -fill black -draw "rectangle 0,$((s/8)) $m,$((m - s/8))" \
    -fill '#7fb8ff' -draw "rectangle $f,$((s/8 + f)) $((m - f)),$((m - s/8 - f))" \
    -fill '#3c9a3c' -draw "polygon $f,$((m - s/8 - f)) $((s/3)),$((s/2)) $((s*2/3)),$((m - s/8 - f))" \
    -fill '#2f7d2f' -draw "polygon $((s/2)),$((m - s/8 - f)) $((s*3/4)),$((s*5/8)) $((m - f)),$((m - s/8 - f))" \
    -fill '#ffd23c' -draw "circle $((s*3/4)),$((s/3)) $((s*3/4 + s/10)),$((s/3))" \
    PNG32:$t/lumetta$s.png
done
convert $t/lumetta32.png $t/lumetta16.png lumetta.ico
# 115 and 114: the list's check box, not ticked and ticked: a sunken 13x13
# box and a navy tick, in colours of the 16-colour palette so that the
# list's 4-bit image list keeps them exact.
convert -size 16x16 xc:none -fill white -draw "rectangle 2,2 14,14" \
  -fill '#808080' -draw "rectangle 1,1 14,1" -draw "rectangle 1,1 1,14" \
  -fill black -draw "rectangle 2,2 13,2" -draw "rectangle 2,2 2,13" \
  -fill '#c0c0c0' -draw "rectangle 2,13 13,13" -draw "rectangle 13,2 13,13" \
  -fill white -draw "rectangle 1,14 14,14" -draw "rectangle 14,1 14,14" \
  -fill white -draw "rectangle 3,3 12,12" PNG32:$t/unticked.png
convert $t/unticked.png -fill '#000080' \
  -draw "rectangle 4,6 4,8" -draw "rectangle 5,7 5,9" -draw "rectangle 6,8 6,10" -draw "rectangle 7,7 7,9" -draw "rectangle 8,6 8,8" -draw "rectangle 9,5 9,7" -draw "rectangle 10,4 10,6" \
  PNG32:$t/ticked.png
convert $t/unticked.png unticked.ico
convert $t/ticked.png ticked.ico
