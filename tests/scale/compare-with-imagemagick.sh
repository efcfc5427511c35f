#!/usr/bin/env bash
# Downscaling against an independent area average: ImageMagick's
# `convert IN -scale WxH! OUT` averages the pixels under each target pixel;
# imgtool's results must agree within 1 per channel (we truncate, it
# rounds).  Also the whole thumbnail road from a bitmap file, and a 16-colour
# reduction that must use the palette only.
set -euo pipefail
out=${LUMETTA_TESTDATA:?}/scale
mkdir -p "$out"
imgtool() { "${LUMETTA_WINE:?}" "${LUMETTA_BUILD:?}/tools/imgtool/imgtool.exe$LUMETTA_PROGRAM_SUFFIX" "$@" >/dev/null; }

# Largest difference of any channel between two pictures, in 8-bit steps.
max_difference() {
  convert "$1" "$2" -alpha off -compose difference -composite -depth 8 -format '%[fx:round(maxima*255)]' info:
}

failures=0
check() {
  local name=$1 a=$2 b=$3 limit=$4 d
  d=$(max_difference "$a" "$b")
  if [ "$d" -le "$limit" ]; then echo "ok   $name (largest difference $d)"
  else echo "FAIL $name: largest difference $d, allowed $limit"; failures=$((failures + 1)); fi
}

convert -seed 7 -size 640x480 plasma:red-blue -depth 8 "$out/plasma.ppm"
convert -seed 3 -size 317x211 plasma: -blur 0x1 -depth 8 "$out/smooth.ppm"
convert rose: -depth 8 "$out/rose.ppm"
convert logo: -resize 50% -depth 8 "$out/logo.ppm"

for job in "plasma 97 61" "plasma 32 24" "plasma 201 150" "smooth 40 27" "smooth 13 100" \
            "rose 31 17" "rose 7 5" "logo 64 48"; do
  read -r name w h <<<"$job"
  convert "$out/$name.ppm" -depth 8 "$out/$name.pam"
  imgtool scale "$out/$name.pam" "$out/$name-$w-$h.pam" "$w" "$h"
  convert "$out/$name.ppm" -scale "${w}x$h!" -depth 8 "$out/$name-$w-$h-im.ppm"
  check "scale $name to ${w}x$h" "$out/$name-$w-$h.pam" "$out/$name-$w-$h-im.ppm" 1
done

# The thumbnail of a bitmap: decode, then scale so that the longer side is 32.
convert "$out/plasma.ppm" -define bmp:format=bmp3 -type TrueColor "$out/plasma.bmp"
imgtool thumb "$out/plasma.bmp" "$out/plasma-thumb.pam" --size 32
convert "$out/plasma.ppm" -scale '32x24!' -depth 8 "$out/plasma-thumb-im.ppm"
check "thumb of a bitmap" "$out/plasma-thumb.pam" "$out/plasma-thumb-im.ppm" 1

# Sixteen colours: only palette entries remain, and the picture stays close
# on average (the diffusion keeps local means).
imgtool reduce "$out/smooth.pam" "$out/smooth-16.pam" 16
colours=$(convert "$out/smooth-16.pam" -alpha off -unique-colors -format '%w' info:)
if [ "$colours" -le 16 ]; then echo "ok   reduce to 16 colours ($colours used)"
else echo "FAIL reduce to 16 colours: $colours used"; failures=$((failures + 1)); fi
convert "$out/smooth-16.pam" -alpha off -scale 10% "$out/smooth-16-mean.ppm"
convert "$out/smooth.ppm" -scale 10% "$out/smooth-mean.ppm"
check "16-colour local means" "$out/smooth-16-mean.ppm" "$out/smooth-mean.ppm" 40

exit $failures
