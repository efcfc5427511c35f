#!/usr/bin/env bash
# TIFF files written by tiffcp and ImageMagick, each with two independent
# decodes beside it: NAME.rgba from `convert NAME.tif[0] rgba:-` and, where
# netpbm reads the file, NAME.ppm from tifftopnm (made 8-bit RGB).
set -euo pipefail
out=$LUMETTA_TESTDATA/tiff
mkdir -p "$out"
cd "$out"
convert -size 61x37 plasma:fractal -seed 11 -blur 0x1 -depth 8 -type truecolor base.png
convert -size 64x48 plasma:fractal -seed 5 -blur 0x1 -depth 8 -type truecolor base64.png
convert base.png -depth 8 -compress none src-rgb.tif
convert base64.png -depth 8 -compress none src-rgb64.tif
convert base.png -colorspace gray -depth 8 -compress none src-grey8.tif
convert base.png -colorspace gray -depth 4 -compress none src-grey4.tif
convert base.png -colorspace gray -monochrome -depth 1 -type bilevel -compress none src-bilevel.tif
convert base.png -colorspace gray -monochrome -depth 1 -type bilevel -define quantum:polarity=min-is-white \
  -compress none src-miniswhite.tif
convert base.png -type palette -colors 50 -compress none src-palette.tif
convert base.png -depth 16 -compress none src-rgb16.tif
convert base.png -colorspace CMYK -depth 8 -compress none src-cmyk.tif
convert base.png \( -size 61x37 gradient:white-black \) -alpha off -compose copy-opacity \
  -composite -depth 8 -compress none src-alpha.tif

expect() { # name: the decodes of NAME.tif
  convert "$1.tif[0]" -depth 8 rgba:"$1.rgba"
  if tifftopnm "$1.tif" 2>/dev/null | pnmdepth 255 2>/dev/null | ppmtoppm > "$1.ppm.tmp" 2>/dev/null; then
    mv "$1.ppm.tmp" "$1.ppm"
  else
    rm -f "$1.ppm.tmp"
  fi
}
copy() { # name, source, tiffcp options...
  local name=$1 src=$2; shift 2
  tiffcp "$@" "src-$src.tif" "$name.tif"
  expect "$name"
}
copy rgb-none rgb -c none
copy rgb-lzw rgb -c lzw
copy rgb-lzw-predictor rgb -c lzw:2
copy rgb-packbits rgb -c packbits
copy rgb-zip rgb -c zip
copy rgb-zip-strip1 rgb -c zip -r 1
copy rgb-zip-predictor rgb -c zip:2 -r 5
copy rgb-lzw-strip5 rgb -c lzw -r 5
copy rgb-onestrip rgb -c none -r 37
copy rgb-separate rgb -c lzw -p separate
copy rgb-tiled rgb -c lzw -t -w 16 -l 16
copy rgb-tiled-zip rgb -c zip -t -w 32 -l 16
copy rgb-tiled-separate rgb -c none -t -w 16 -l 16 -p separate
copy rgb-jpeg-ycbcr rgb64 -c jpeg:90 -r 16
copy rgb-jpeg-rgb rgb64 -c jpeg:90:r -r 16
copy grey8-lzw grey8 -c lzw
copy grey8-tiled grey8 -c zip -t -w 16 -l 16
copy grey4-none grey4 -c none
copy bilevel-none bilevel -c none
copy bilevel-g3 bilevel -c g3
copy bilevel-g3-2d bilevel -c g3:2d
copy bilevel-g4 bilevel -c g4
copy miniswhite-g4 miniswhite -c g4
copy miniswhite-none miniswhite -c none
copy palette-lzw palette -c lzw
copy palette-packbits palette -c packbits
copy rgb16-zip rgb16 -c zip
copy cmyk-lzw cmyk -c lzw
copy alpha-lzw alpha -c lzw
# Big-endian files, and bits stored least significant first, which libtiff
# must reverse without writing to the read-only mapped bytes.
copy rgb-bigendian rgb -B -c lzw
copy rgb16-bigendian rgb16 -B -c none
copy bilevel-lsb-g4 bilevel -f lsb2msb -c g4
copy bilevel-lsb-none bilevel -f lsb2msb -c none

# Two pages: the first is the one shown.
tiffcp rgb-lzw.tif grey8-lzw.tif multipage.tif
expect multipage
rm -f multipage.ppm   # tifftopnm writes every page

# Stored bottom-up: delivered in stored order all the same.
tiffcp -c lzw src-rgb.tif orient4.tif
tiffset -s 274 4 orient4.tif

# 100 rows in strips of 16, for the progress count.
convert -size 20x100 gradient:red-blue -depth 8 -compress none src-tall.tif
tiffcp -c lzw -r 16 src-tall.tif strips16.tif
expect strips16

# Over a megapixel in strips of 7 rows (the last one shorter), with the
# predictor: read by two threads, each strip straight into its rows.
convert base.png -resize 1100x960\! -depth 8 -type truecolor -compress none src-halves.tif
tiffcp -c lzw:2 -r 7 src-halves.tif rgb-halves.tif
expect rgb-halves
tiffcp -c zip:2 -r 7 src-halves.tif rgb-halves-zip.tif
expect rgb-halves-zip

# Every text tag the probe reads.
tiffcp -c lzw src-rgb.tif texts.tif
tiffset -s 269 "The title" texts.tif
tiffset -s 315 "An artist" texts.tif
tiffset -s 270 "A description" texts.tif
tiffset -s 305 "Some software" texts.tif
tiffset -s 306 "2024:01:02 03:04:05" texts.tif

# JPEG in TIFF as ImageMagick writes it (RGB samples).
convert base64.png -compress jpeg -quality 85 im-jpeg.tif
expect im-jpeg

# A CIE L*a*b* picture, described but not decoded.
convert base.png -colorspace Lab -depth 8 -compress none lab.tif
# Small seeds for the mutation test, one per kind of storage.
convert -size 24x16 plasma:fractal -seed 3 -depth 8 -type truecolor -compress none small.tif
convert small.tif -colorspace gray -monochrome -depth 1 -type bilevel -compress none small-bw.tif
convert small.tif -type palette -colors 20 -compress none small-pal.tif
tiffcp -c lzw -r 4 small.tif small-lzw.tif
tiffcp -c zip -t -w 16 -l 16 small.tif small-tiled.tif
tiffcp -c g4 small-bw.tif small-g4.tif
tiffcp -c jpeg -r 16 small.tif small-jpeg.tif
tiffcp -c packbits small-pal.tif small-palette.tif
tiffcp -c none -p separate -r 5 small.tif small-separate.tif

# Large enough that a stop request arrives long before the last strip.
convert -size 2000x1500 gradient:red-blue -depth 8 -compress none src-big.tif
tiffcp -c zip -r 1 src-big.tif big-zip.tif
rm -f src-*.tif
echo "tiffs ready in $out"
