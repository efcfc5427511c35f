#!/usr/bin/env bash
# Bitmaps written by ImageMagick and by hand (make-bitmaps.py), each with
# ImageMagick's own decode beside it: NAME.rgba from `convert NAME.bmp rgba:-`.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$LUMETTA_TESTDATA/bmp
rm -rf "$out"
mkdir -p "$out"
cd "$out"
convert -size 61x37 -seed 7 plasma:fractal -blur 0x1 base.png
make() { # name, convert options...
  local name=$1; shift
  convert base.png "$@" "$name.bmp"
}
make im3-24 -define bmp:format=bmp3 -type truecolor
make im3-8 -define bmp:format=bmp3 -type palette -colors 200 -compress None
make im3-4 -define bmp:format=bmp3 -type palette -colors 14 -compress None
make im3-1 -define bmp:format=bmp3 -type bilevel
make im3-rle8 -define bmp:format=bmp3 -type palette -colors 60 -compress RLE
make im2-24 -define bmp:format=bmp2 -type truecolor
make im2-8 -define bmp:format=bmp2 -type palette -colors 100
make im2-1 -define bmp:format=bmp2 -type bilevel
# ImageMagick's own choice of header today: 124 bytes, bit fields for alpha.
make im5-24 -type truecolor
convert base.png -alpha set -channel A -fx '(i+j)%7/6' +channel im5-32a.bmp
# 16-bit pixels with an alpha field.
convert base.png -alpha set -channel A -fx '(i+j)%16/15' +channel -define bmp:subtype=ARGB4444 im5-4444.bmp
convert base.png -alpha set -channel A -fx '(i*j)%2' +channel -define bmp:subtype=ARGB1555 im5-1555.bmp
python3 "$here/make-bitmaps.py" "$out"
rm base.png
for f in *.bmp; do
  [ "$f" = hand-8bit-used300.bmp ] || convert "$f" -depth 8 rgba:"${f%.bmp}.rgba"
done
# ImageMagick refuses a colour count above 256; the table is read in full
# either way, so the picture is that of the same file with a count of 0.
cp hand-8bit-used0.rgba hand-8bit-used300.rgba
echo "$(ls *.bmp | wc -l) bitmaps ready in $out"
