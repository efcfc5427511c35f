#!/usr/bin/env bash
# Draws the Display control panel's icon (a monitor) with ImageMagick; the
# .ico is committed, run this again only to change it.
set -euo pipefail
cd "$(dirname "$0")"
t=$(mktemp -d); trap 'rm -rf "$t"' EXIT
for s in 32 16; do
  m=$((s - 1)); b=$((s * 3 / 4))
  convert -size ${s}x${s} xc:none \
    -fill '#c0c0c0' -stroke '#404040' -draw "rectangle 1,1 $((m - 1)),$b" \
    -fill '#1f4f9f' -stroke none -draw "rectangle $((s / 8)),$((s / 8)) $((m - s / 8)),$((b - s / 8))" \
    -fill '#808080' -stroke '#404040' -draw "rectangle $((s / 3)),$((b + 1)) $((m - s / 3)),$((m - 1))" \
    PNG32:$t/display$s.png
done
convert $t/display32.png $t/display16.png display.ico
