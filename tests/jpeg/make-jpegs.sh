#!/usr/bin/env bash
# JPEG files written by cjpeg and ImageMagick, each with the decode of
# libjpeg's own djpeg beside it (NAME.ppm or NAME.pgm).  djpeg runs with the
# fast integer IDCT and plain upsampling, the options the decoder uses, so
# the pixels must match exactly; NAME.8.ppm / NAME.4.ppm are the 1/8 and 1/4
# scaled decodes.
set -euo pipefail
# The writers need no AddressSanitizer runtime (dd fails under it).
unset LD_PRELOAD
out=$LUMETTA_TESTDATA/jpeg
mkdir -p "$out"
cd "$out"
convert -size 61x37 plasma:fractal -seed 7 -blur 0x1 -depth 8 base.ppm
convert -size 1000x600 plasma:fractal -seed 11 -depth 8 big.ppm
ref() { djpeg -dct fast -nosmooth -pnm "$@"; }
make() { # name, cjpeg options...
  local name=$1; shift
  cjpeg "$@" base.ppm > "$name.jpg"
  ref "$name.jpg" > "$name.ppm"
}
make baseline -quality 85
make sample444 -sample 1x1
make sample422 -sample 2x1
make progressive -progressive
make restart -restart 1B
make optimised -optimize -quality 60
make rgb -rgb
cjpeg -grayscale base.ppm > gray.jpg
ref gray.jpg > gray.pgm
cjpeg -grayscale -progressive base.ppm > grayprog.jpg
ref grayprog.jpg > grayprog.pgm
make arithmetic -arithmetic
# EXIF in an APP1 segment, little-endian as many cameras write it, for the
# fuzzer's mutations of its directory.
make exif -quality 75
exiftool -q -q -n -overwrite_original -ExifByteOrder=II -Orientation=6 -Artist=Lumetta exif.jpg
cjpeg -arithmetic -progressive base.ppm > arithprog.jpg
ref arithprog.jpg > arithprog.ppm
# ImageMagick writes CMYK as YCCK (Adobe transform 2), inverted as Photoshop
# does; djpeg turns it into RGB as c * k / 255.  cmyk0.jpg is the same file
# with transform 0: plain CMYK samples.
convert base.ppm -colorspace CMYK -quality 90 cmyk.jpg
ref cmyk.jpg > cmyk.ppm
cp cmyk.jpg cmyk0.jpg
[ "$(dd if=cmyk0.jpg bs=1 skip=6 count=5 2>/dev/null)" = Adobe ]
printf '\000' | dd of=cmyk0.jpg bs=1 seek=17 conv=notrunc 2>/dev/null
ref cmyk0.jpg > cmyk0.ppm
# The worked example of the DCT scaling: 1000 x 600.
cjpeg -quality 80 big.ppm > big.jpg
ref -scale 1/8 big.jpg > big.8.ppm
ref -scale 1/4 big.jpg > big.4.ppm
cjpeg -progressive big.ppm > bigprog.jpg
ref bigprog.jpg > bigprog.ppm
# Tall and thin, as the file of thousands of tiny scans was; the test
# repeats its last scan.
pgmramp -tb 227 42426 > tall.pgm
cjpeg -progressive tall.pgm > tall.jpg
rm base.ppm big.ppm tall.pgm
echo "jpegs ready in $out"
