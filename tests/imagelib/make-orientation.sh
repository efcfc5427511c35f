#!/usr/bin/env bash
# One picture stored in each of the eight orientations, with ImageMagick's
# -auto-orient of it beside as the picture to be shown: JPEG files that
# differ only in their EXIF Orientation tag (exiftool writes it), baseline
# and progressive, with djpeg's decode as the stored picture; TIFF files,
# RGB and grey, tagged by ImageMagick; a PNG with an eXIf chunk and its
# upright twin.
set -euo pipefail
unset LD_PRELOAD
out=$LUMETTA_TESTDATA/orientation
rm -rf "$out"
mkdir -p "$out"
cd "$out"
names=(TopLeft TopRight BottomRight BottomLeft LeftTop RightTop RightBottom LeftBottom)
# 8 x 8 blocks of plasma, 21 x 13 blocks in all: at an eighth every block is
# a pixel, and the picture has no symmetry that would hide a wrong turn.
convert -seed 3 -size 168x104 plasma:fractal -depth 8 base.ppm
cjpeg -quality 90 -sample 1x1 base.ppm > baseline.jpg
cjpeg -quality 90 -progressive base.ppm > progressive.jpg
djpeg -dct fast -nosmooth -scale 1/8 -pnm baseline.jpg > baseline.8.ppm
djpeg -dct fast -nosmooth -pnm progressive.jpg > progressive.ppm
for o in 1 2 3 4 5 6 7 8; do
  name=${names[o - 1]}
  for kind in baseline progressive; do
    cp "$kind.jpg" "$kind-$o.jpg"
    exiftool -q -q -n -overwrite_original -Orientation="$o" "$kind-$o.jpg"
  done
  convert baseline.8.ppm -orient "$name" -auto-orient baseline-$o.8.ppm
  convert progressive.ppm -orient "$name" -auto-orient progressive-$o.ppm
  convert base.ppm -orient "$name" -define tiff:rows-per-strip=16 rgb-$o.tif
  convert base.ppm -colorspace Gray -orient "$name" -define tiff:rows-per-strip=16 gray-$o.tif
  convert rgb-$o.tif -auto-orient rgb-$o.ppm
  convert gray-$o.tif -auto-orient -type TrueColor gray-$o.ppm
done
convert base.ppm -type TrueColor PNG24:stored.png
exiftool -q -q -n -overwrite_original -Orientation=6 stored.png
convert base.ppm -rotate 90 -type TrueColor PNG24:upright.png
echo "orientation files ready in $out"
