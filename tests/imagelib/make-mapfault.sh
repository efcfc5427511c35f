#!/usr/bin/env bash
# Large pictures of noise (so that every format's file spans hundreds of
# pages) for the tests of a file cut short while it is decoded.
set -euo pipefail
unset LD_PRELOAD
out=$LUMETTA_TESTDATA/mapfault
mkdir -p "$out"
cd "$out"
convert -size 1024x768 -seed 5 xc:gray +noise Random -depth 8 noise.ppm
convert noise.ppm BMP3:noise.bmp
convert noise.ppm -define png:compression-level=1 noise.png
convert noise.ppm -quality 95 noise.jpg
convert noise.ppm -compress none noise.tif
convert noise.ppm -colors 256 noise.gif
# Large enough for two threads, and decoded by the library's own LZW.
convert -size 1280x1024 -seed 6 xc:gray +noise Random -depth 8 -compress LZW -define tiff:predictor=2 -define tiff:rows-per-strip=64 noise-lzw.tif
# Over a megapixel, so that the decoders start their helper threads: GIF and
# RGB PNG (their page toucher, PNG's unfiltering), progressive JPEG (libjpeg
# holds every coefficient).
convert -size 1100x1000 -seed 7 xc:gray +noise Random -depth 8 -colors 256 large.gif
convert -size 1040x1010 -seed 8 xc:gray +noise Random -depth 8 -define png:compression-level=1 large.png
convert -size 1600x1200 -seed 9 xc:gray +noise Random -depth 8 -quality 90 -interlace JPEG large.jpg
