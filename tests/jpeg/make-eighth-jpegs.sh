#!/usr/bin/env bash
# JPEG files for the eighth-size road: every kind it takes (baseline
# Huffman, grey, YCbCr 4:4:4 and 4:2:0, with and without restart markers,
# odd sizes) and kinds it must leave to libjpeg.  list.txt names each file
# with "taken" or "declined".
set -euo pipefail
unset LD_PRELOAD
out=$LUMETTA_TESTDATA/jpeg-eighth
rm -rf "$out"
mkdir -p "$out"
cd "$out"
: > list.txt
make_source() { # name width height seed
  convert -seed "$4" -size 200x150 plasma:fractal -resize "$2x$3!" -attenuate 0.3 \
    +noise Gaussian -depth 8 "$1.ppm"
}
add() { # kind name cjpeg-options... (the source is $src)
  local kind=$1 name=$2; shift 2
  cjpeg "$@" "$src.ppm" > "$name.jpg"
  echo "$name $kind" >> list.txt
}
for size in 1x1 7x9 17x33 61x37 333x250 640x480; do
  src=s$size
  make_source "$src" "${size%x*}" "${size#*x}" 5
  for q in 50 75 90 100; do add taken "$size-q$q" -quality "$q"; done
  add taken "$size-opt" -optimize -quality 80
  add taken "$size-rows" -restart 1
  add taken "$size-r3" -restart 3B
  add taken "$size-444" -sample 1x1
  add taken "$size-444r" -sample 1x1 -restart 2B
  add taken "$size-gray" -grayscale
  add taken "$size-grayr" -grayscale -restart 5B
  add declined "$size-422" -sample 2x1
  add declined "$size-prog" -progressive
  add declined "$size-arith" -arithmetic
  add declined "$size-rgb" -rgb
  convert "$src.ppm" -quality 85 "$size-im85.jpg"    # ImageMagick: 4:2:0 below 90
  convert "$src.ppm" -quality 95 "$size-im95.jpg"    # and 4:4:4 above
  convert "$src.ppm" -colorspace Gray -quality 80 "$size-imgray.jpg"
  printf '%s taken\n' "$size-im85" "$size-im95" "$size-imgray" >> list.txt
done
# Large enough for the decoder to share the scan between processors.
src=big
make_source big 1500 1000 9
add taken big-q90 -quality 90
add taken big-rows -quality 90 -restart 2
add taken big-444 -sample 1x1 -quality 95
add taken big-gray -grayscale
add taken big-opt -optimize -quality 70
add taken big-r1 -restart 1B -quality 60
add taken big-grayr -grayscale -restart 7B
src=huge
make_source huge 4001 2999 13
add taken huge-q90 -quality 90
add taken huge-r8 -quality 75 -restart 8B
rm -f ./*.ppm
echo "eighth-size jpegs ready in $out"
