#!/usr/bin/env bash
# PCX test data: files written by netpbm's ppmtopcx and by ImageMagick, each
# beside an independent decode of it (NAME.ppm, from `pcxtoppm`, or from
# `convert` for the 4-plane files pcxtoppm does not read), and hand-built
# ones (make-pcx.py) with the picture they hold (NAME.truth.ppm).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$LUMETTA_TESTDATA/pcx
mkdir -p "$out"
cd "$out"
rm -f ./*.pcx ./*.ppm ./*.png

# Even widths: both writers leave lines of odd length unpadded.
convert -size 62x37 plasma:fractal -seed 7 -blur 0x1 -depth 8 photo.png
convert -size 61x37 plasma:fractal -seed 7 -blur 0x1 -depth 8 photo61.png
pbm() { convert photo.png "$@" ppm:-; }
pbm -monochrome | ppmtopcx > pp-bw.pcx 2>/dev/null
pbm -colors 16 | ppmtopcx > pp-16.pcx 2>/dev/null
pbm -colors 200 | ppmtopcx > pp-256.pcx 2>/dev/null
pbm -colors 16 | ppmtopcx -8bit > pp-16as256.pcx 2>/dev/null
pbm | ppmtopcx -24bit > pp-24.pcx 2>/dev/null
convert photo61.png ppm:- | ppmtopcx -24bit > pp-24-odd.pcx 2>/dev/null
convert photo.png im-24.pcx
convert photo.png -type Palette im-palette.pcx
convert photo.png -alpha set -channel A -fx 'i/w' +channel im-32.pcx

python3 "$here/make-pcx.py"

# pcxtoppm takes the header palette of a black-and-white file, reads no
# 4-plane 8-bit files and wants the palette marker right after the image.
for f in pp-*.pcx im-24.pcx im-palette.pcx odd24.pcx c16-13.pcx c16-1.pcx p8-odd.pcx; do
  pcxtoppm "$f" > "${f%.pcx}.ppm" 2>/dev/null
done
convert im-32.pcx -alpha off -depth 8 im-32.ppm
echo "pcx files ready in $out"
