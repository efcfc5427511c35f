#!/usr/bin/env bash
# WebP files written by cwebp, img2webp and gif2webp, each with an
# independent decode beside it as PAM (red, green, blue, alpha): dwebp's for
# the still pictures (and its -resize for the sized decodes), anim_dump's
# for every frame of an animation.  Debian ships no anim_dump, so it is
# built here from libwebp's source (argument 1, the deps' copy, or fetched).
set -euo pipefail
unset LD_PRELOAD
out=$LUMETTA_TESTDATA/webp
mkdir -p "$out"
cd "$out"

animdump=$out/anim_dump
if [ ! -x "$animdump" ]; then
  src=${1:-}
  if [ -z "$src" ] || [ ! -f "$src/examples/anim_dump.c" ]; then
    rm -rf src && mkdir src
    (cd src && apt-get source -qq libwebp >/dev/null 2>&1)
    src=$(find "$out/src" -mindepth 1 -maxdepth 1 -type d | head -n1)
  fi
  gcc -O2 -I"$src" -I"$src/src" "$src"/examples/anim_dump.c "$src"/examples/anim_util.c \
    "$src"/imageio/image_enc.c "$src"/imageio/imageio_util.c -o "$animdump" -lwebpdemux -lwebp -lm
fi

convert -size 61x37 plasma:fractal -seed 7 -blur 0x1 -depth 8 \
  \( -size 61x37 gradient:white-black -rotate 90 -resize 61x37\! \) \
  -alpha off -compose CopyOpacity -composite alpha.png
convert -size 320x240 plasma:fractal -seed 3 -depth 8 -alpha off photo.png

still() { # name, cwebp options...
  local name=$1; shift
  cwebp -quiet "$@" -o "$name.webp"
  dwebp -quiet "$name.webp" -pam -o "$name.pam"
}
still lossy -q 80 photo.png
still lossless -lossless alpha.png
still lossyalpha -q 70 -alpha_q 100 alpha.png
still losslessopaque -lossless photo.png -exact
# Over a megapixel: libwebp's second thread reconstructs and filters.
convert photo.png -resize 1280x960\! -attenuate 0.3 +noise Gaussian large.png
still large -q 75 large.png
rm large.png
# A file that says how it is to be shown (EXIF Orientation 6).
convert photo.png -quality 90 turned.jpg
exiftool -q -overwrite_original -Orientation=6 -n turned.jpg
cwebp -quiet -metadata exif turned.jpg -o turned.webp
rm turned.jpg
# libwebp's own scaler, as the decoder asks it for 100 x 100 and 30 x 10.
dwebp -quiet lossy.webp -resize 100 75 -pam -o lossy-100.pam
dwebp -quiet lossyalpha.webp -resize 17 10 -pam -o lossyalpha-17.pam

# Frames with transparency, offsets and both disposals: gif2webp from a GIF
# whose frames ImageMagick draws, img2webp with lossy and lossless frames.
convert -dispose none -delay 10 -size 20x16 xc:'#c03020' -set page 48x40+4+4 \
  -dispose background -delay 20 \( -size 16x20 xc:'#2040d0' -set page 48x40+24+12 \) \
  -dispose none -delay 5 \( -size 30x10 xc:'#30b040' -set page 48x40+10+26 \) \
  -loop 2 frames.gif
gif2webp -quiet frames.gif -o gifanim.webp
convert -size 40x30 plasma:fractal -seed 11 f0.png
convert -size 40x30 gradient:yellow-purple f1.png
convert f0.png -alpha set -channel A -evaluate set 50% +channel f2.png
img2webp -loop 0 -d 80 -lossless f0.png -d 120 -lossy -q 60 f1.png -d 40 -lossless f2.png \
  -o imganim.webp 2>/dev/null
rm frames.gif f0.png f1.png f2.png
for anim in gifanim imganim; do
  "$animdump" -folder "$out" -prefix "$anim-" -pam "$anim.webp" >/dev/null
done
echo "webps ready in $out"
