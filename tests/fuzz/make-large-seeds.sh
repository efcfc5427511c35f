#!/usr/bin/env bash
# Seeds over a megapixel for the fuzzer's cuts, so that the decoders start
# their helper threads; smooth, so that each stays within a few pages.
set -euo pipefail
unset LD_PRELOAD
out=$LUMETTA_TESTDATA/fuzz-large
mkdir -p "$out"
cd "$out"
convert -size 1100x1000 gradient:navy-orange -depth 8 large.ppm
convert large.ppm -colors 64 large.gif
convert large.ppm -define png:color-type=2 large.png
convert large.ppm -quality 75 large.jpg
cwebp -quiet -q 75 large.ppm -o large.webp
convert large.ppm -quality 75 -interlace JPEG large-progressive.jpg
convert large.ppm -compress LZW -define tiff:predictor=2 -define tiff:rows-per-strip=64 large.tif
rm large.ppm
