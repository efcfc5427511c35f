#!/usr/bin/env bash
# Pictures for the thumbnail handler: one of each format larger than the
# largest thumbnail asked for, pictures with transparency, a small one.
set -euo pipefail
out=$LUMETTA_TESTDATA/thumbs
rm -rf "$out"; mkdir -p "$out"
cd "$out"
convert -size 1280x800 gradient:'#2060C0'-'#F0C040' -swirl 120 -depth 8 -type TrueColor photo.ppm
cjpeg -quality 92 photo.ppm > photo.jpg
convert photo.ppm -type TrueColor BMP3:photo.bmp
convert photo.ppm photo.pcx
convert photo.ppm photo.tga
convert photo.ppm PNG24:photo.png
convert photo.ppm -compress none photo-plain.tif
tiffcp -c lzw photo-plain.tif photo.tif
convert photo.ppm -colors 200 photo.gif
cwebp -quiet -q 90 photo.ppm -o photo.webp
rm photo.ppm photo-plain.tif
# Upright bands, which read the same whichever way a writer stores its rows:
# transparent on the left, opaque red in the middle, half-transparent blue
# on the right (GIF keeps only the first two).
convert -size 100x60 xc:none -fill red -draw 'rectangle 34,0 66,59' \
  -fill '#0000FF80' -draw 'rectangle 67,0 99,59' PNG32:alpha.png
convert alpha.png -define bmp:format=bmp4 BMP:alpha.bmp
convert alpha.png alpha.tga
convert alpha.png alpha.gif
cwebp -quiet -lossless alpha.png -o alpha.webp
convert -size 40x30 xc:'#30A050' PNG24:small.png
