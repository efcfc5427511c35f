#!/usr/bin/env bash
# Draws the Display page's decoration with ImageMagick (118, BITMAP32: a fan
# of three framed thumbnails that the frame's top edge runs into); the logo
# (119) the page shares with the Preview is drawn by make-art.py.  The .bmp files are committed; run this
# again only to change them.
set -euo pipefail
cd "$(dirname "$0")"
t=$(mktemp -d); trap 'rm -rf "$t"' EXIT

# Three small pictures as the thumbnail icons show them: a 1-pixel border.
convert -size 34x26 gradient:'#6fb6ff'-'#dff1ff' \
  -fill '#3c9a3c' -draw "polygon 0,26 10,14 22,26" -fill '#2f7d2f' -draw "polygon 12,26 24,12 34,26" \
  -fill '#ffd23c' -draw "circle 26,7 29,7" -bordercolor black -border 1 PNG32:$t/hills.png
convert -size 34x26 gradient:'#ff9a3c'-'#5a2a7a' \
  -fill '#ffe070' -draw "circle 17,18 23,18" -fill '#202040' -draw "rectangle 0,20 34,26" \
  -bordercolor black -border 1 PNG32:$t/sunset.png
convert -size 34x26 gradient:'#bfe6ff'-'#1f5fa0' \
  -fill white -draw "polygon 8,20 17,4 17,20" -fill '#e8e8e8' -draw "polygon 18,20 18,7 26,20" \
  -fill '#5a3a1a' -draw "rectangle 4,20 30,22" -fill '#2050a0' -draw "rectangle 0,23 34,26" \
  -bordercolor black -border 1 PNG32:$t/sea.png
convert $t/hills.png -background none -rotate -14 PNG32:$t/a.png
convert $t/sunset.png -background none -rotate 10 PNG32:$t/b.png
convert -size 72x64 xc:none \
  \( $t/a.png \) -geometry +6+6 -composite \
  \( $t/b.png \) -geometry +30+4 -composite \
  \( $t/sea.png -background none -rotate -2 \) -geometry +16+22 -composite \
  PNG32:$t/fan.png
# A soft shadow under the fan; 5 clear columns each side.
convert $t/fan.png \( +clone -background black -shadow 50x2+2+2 \) +swap -background none \
  -layers merge +repage -gravity northwest -crop 72x64+0+0 +repage \
  -bordercolor none -border 5 PNG32:$t/decoration.png
w=$(identify -format %w $t/decoration.png); h=$(identify -format %h $t/decoration.png)
convert $t/decoration.png -depth 8 rgba:$t/decoration.rgba
python3 bitmap32.py "$w" "$h" $t/decoration.rgba decoration.bmp
