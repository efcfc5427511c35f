#!/usr/bin/env bash
# Bitmaps written by ImageMagick, each with ImageMagick's own decode beside
# it (NAME.rgba, from `convert NAME.bmp rgba:-`).
set -euo pipefail
out=$LUMETTA_TESTDATA/bmp
mkdir -p "$out"
cd "$out"
photo() { convert -size "$1" plasma:fractal -seed 7 -blur 0x1 "$2"; }
photo 61x37 base.png
make() { # name, convert options...
  local name=$1; shift
  convert base.png "$@" "$name.bmp"
  convert "$name.bmp" rgba:"$name.rgba"
}
make bmp3-24 -define bmp:format=bmp3 -type truecolor
make bmp3-8 -define bmp:format=bmp3 -type palette -colors 200
make bmp3-4 -define bmp:format=bmp3 -type palette -colors 14
make bmp3-1 -define bmp:format=bmp3 -type bilevel
make bmp3-rle8 -define bmp:format=bmp3 -type palette -colors 60 -compress RLE
make bmp2-24 -define bmp:format=bmp2 -type truecolor
make bmp2-8 -define bmp:format=bmp2 -type palette -colors 100
make bmp2-1 -define bmp:format=bmp2 -type bilevel
make bmp4-24 -define bmp:format=bmp4 -type truecolor
make bmp3-16 -define bmp:format=bmp3 -define bmp:subtype=RGB555
make bmp4-16-565 -define bmp:format=bmp4 -define bmp:subtype=RGB565
echo "bitmaps ready in $out"
