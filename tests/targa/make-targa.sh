#!/usr/bin/env bash
# Targa test data: files written by ImageMagick and hand-built ones
# (make-targa.py), each beside netpbm's decode of it (NAME.ppm from
# `tgatoppm`, NAME.alpha.pgm from its -alphaout) and, for the hand-built
# ones, the picture they were made from (NAME.truth.ppm / .pgm).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$LUMETTA_TESTDATA/targa
mkdir -p "$out"
cd "$out"
rm -f ./*.tga ./*.ppm ./*.pgm ./*.png

convert -size 61x37 plasma:fractal -seed 7 -blur 0x1 -depth 8 photo.png
convert photo.png -alpha set -channel A -fx '(i+j)/(w+h)' +channel photo-alpha.png
im() { # name, source, convert options...
  local name=$1 source=$2; shift 2
  convert "$source" "$@" "$name.tga"
}
im im-24 photo.png
im im-rle photo.png -compress RLE
im im-palette photo.png -type Palette
im im-palette-rle photo.png -type Palette -compress RLE
im im-grey photo.png -type Grayscale
im im-grey-rle photo.png -type Grayscale -compress RLE
im im-16 photo.png -depth 5
im im-top photo.png -orient TopLeft
im im-top-rle photo.png -orient TopLeft -compress RLE
im im-alpha photo-alpha.png
im im-alpha-rle photo-alpha.png -compress RLE

python3 "$here/make-targa.py"

for f in *.tga; do
  tgatoppm -alphaout="${f%.tga}.alpha.pgm" "$f" > "${f%.tga}.ppm" 2>/dev/null ||
    rm -f "${f%.tga}.ppm" "${f%.tga}.alpha.pgm"
done
echo "targa files ready in $out"
