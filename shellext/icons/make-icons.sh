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
# 115 and 114: the list's check box, not ticked and ticked.
convert -size 16x16 xc:none -fill white -stroke '#404040' -draw "rectangle 2,2 13,13" PNG32:$t/box.png
cp $t/box.png $t/unticked.png
convert $t/box.png -fill none -stroke black -strokewidth 2 -draw "polyline 4,8 7,11 12,4" PNG32:$t/ticked.png
convert $t/unticked.png unticked.ico
convert $t/ticked.png ticked.ico
