#!/usr/bin/env bash
# PNG files of every colour type and bit depth written by ImageMagick, each
# with ImageMagick's own decode beside it: NAME.rgba from `convert NAME.png
# rgba:-` at 8 bits, or at 16 bits (two bytes a sample, big-endian) for the
# 16-bit files.  The decoder's gamma correction is applied by the test.
set -euo pipefail
# The writers need no AddressSanitizer runtime (dd fails under it).
unset LD_PRELOAD
out=$LUMETTA_TESTDATA/png
mkdir -p "$out"
cd "$out"
convert -size 61x37 plasma:fractal -seed 7 -blur 0x1 -depth 8 \
  \( -size 61x37 gradient:white-black -rotate 90 -resize 61x37\! \) \
  -alpha off -compose CopyOpacity -composite base.png
plain="-define png:exclude-chunks=gAMA,cHRM,sRGB,bKGD,date,time,tIME,vpAg,zTXt,tEXt,iTXt"
make() { # name, depth of the reference, convert options...
  local name=$1 depth=$2; shift 2
  convert base.png "$@" "$name.png"
  convert "$name.png" -depth "$depth" rgba:"$name.rgba"
}
opaque="-alpha off"
make gray1 8 $opaque -colorspace gray $plain -define png:color-type=0 -define png:bit-depth=1
make gray2 8 $opaque -colorspace gray $plain -define png:color-type=0 -define png:bit-depth=2
make gray4 8 $opaque -colorspace gray $plain -define png:color-type=0 -define png:bit-depth=4
make gray8 8 $opaque -colorspace gray $plain -define png:color-type=0 -define png:bit-depth=8
make gray16 16 $opaque -colorspace gray $plain -define png:color-type=0 -define png:bit-depth=16
make grayalpha8 8 -colorspace gray $plain -define png:color-type=4 -define png:bit-depth=8
make grayalpha16 16 -colorspace gray $plain -define png:color-type=4 -define png:bit-depth=16
make rgb8 8 $opaque $plain -define png:color-type=2 -define png:bit-depth=8
make rgb16 16 $opaque $plain -define png:color-type=2 -define png:bit-depth=16
make rgba8 8 $plain -define png:color-type=6 -define png:bit-depth=8
make rgba16 16 $plain -define png:color-type=6 -define png:bit-depth=16
make palette1 8 $opaque -colors 2 $plain -define png:color-type=3 -define png:bit-depth=1
make palette2 8 $opaque -colors 4 $plain -define png:color-type=3 -define png:bit-depth=2
make palette4 8 $opaque -colors 16 $plain -define png:color-type=3 -define png:bit-depth=4
make palette8 8 $opaque -colors 200 $plain -define png:color-type=3 -define png:bit-depth=8
convert base.png -channel A -threshold 50% +channel $plain PNG8:palettetrns.png
convert palettetrns.png -depth 8 rgba:palettetrns.rgba
make graytrns 8 $opaque -colorspace gray -threshold 50% -transparent black $plain
make rgbtrns 8 -channel A -threshold 50% +channel $plain -define png:color-type=2
make interlaced 8 $plain -interlace PNG -define png:color-type=6
make interlacedpalette 8 $opaque -colors 30 $plain -interlace PNG -define png:color-type=3
# A gamma chunk of 0.8 and ImageMagick's background colour chunk.
# ImageMagick corrects for the gamma when it reads, so netpbm gives the
# stored samples here.
convert base.png -set gamma 0.8 -define png:exclude-chunks=sRGB,cHRM -define png:color-type=6 gamma.png
pngtopnm gamma.png > gamma.ppm
pngtopnm -alpha gamma.png > gamma-alpha.pgm
convert gamma.ppm gamma-alpha.pgm -alpha off -compose CopyOpacity -composite -depth 8 rgba:gamma.rgba
rm gamma.ppm gamma-alpha.pgm
convert -size 320x240 plasma:fractal -seed 3 -depth 8 $plain -define png:color-type=2 large.png
# Over a megapixel, with every row filter among its rows: plasma, gradients
# both ways, a flat band and noise under the adaptive choice.
convert large.png -resize 1100x240\! \( -size 240x1100 gradient:red-blue -rotate 90 \) \
  \( -size 1100x240 gradient:green-yellow \) -size 1100x240 xc:orange \( xc: +noise Random \) \
  -append +repage -depth 8 $plain -define png:color-type=2 big-filters.png
# Every row filter alone (0 to 4), and the adaptive choice among them (5).
for f in 0 1 2 3 4 5; do
  convert large.png -crop 97x61+13+7 +repage $plain -define png:color-type=2 \
    -define png:compression-filter=$f filter$f.png
done
# Text chunks from netpbm, in an order unlike the decoder's keyword order.
convert rgb8.png ppm:base.ppm
cat > texts.txt <<'TEXT'
Software sw
Title first title
Author somebody
Title second title
Comment c1
"Creation Time" today
TEXT
pnmtopng -text texts.txt base.ppm > texts.png
printf 'Comment one\nComment two\ncomment three\n' > comments.txt
pnmtopng -ztxt comments.txt base.ppm > comments.png
rm base.ppm texts.txt comments.txt
echo "pngs ready in $out"
