#!/usr/bin/env bash
# GIFs written by ImageMagick and gifsicle, each image beside netpbm's own
# decode of it: NAME.N.ppm (colours of image N, counting from 0, at the
# image's own size) and NAME.N.pbm (its transparency, black = transparent);
# manifest.txt lists every file with its number of images.
set -euo pipefail
out=$LUMETTA_TESTDATA/gif
mkdir -p "$out"
cd "$out"
rm -f ./*.gif ./*.ppm ./*.pbm manifest.txt

convert -size 61x37 plasma:fractal -seed 7 -blur 0x1 photo.png
convert -size 20x15 gradient:red-blue -colors 16 f0.gif
convert -size 17x11 plasma:fractal -seed 3 -colors 32 f1.gif
convert -size 9x13 gradient:yellow-green -colors 8 f2.gif
convert -size 23x7 plasma:fractal -seed 5 -colors 64 f3.gif

# Stills: 256 colours, interlaced, a few colours, a transparent index.
convert photo.png photo.gif
# Over a megapixel: the decoder has its pages faulted in by a helper.
gifsicle --resize 1030x1024 photo.gif > big.gif
convert photo.png -interlace GIF photo-interlaced.gif
convert photo.png -colors 5 few.gif
gifsicle --interlace -t 3 few.gif > few-interlaced-transparent.gif
gifsicle -t 17 --comment "made by gifsicle" photo.gif > photo-transparent.gif
# One row, and five rows interlaced (rows 0, 4, 2, 1, 3).
convert photo.png -crop 61x1+0+0 +repage -interlace GIF row.gif
convert photo.png -crop 13x5+0+0 +repage -interlace GIF five.gif

# Animations.  gifsicle merges the palettes into one global table; the
# ImageMagick one keeps local tables for its later frames.
gifsicle --loopcount=0 --comment "first frame" --disposal=none --delay 10 f0.gif \
  --disposal=asis --position 5,3 --delay 20 f1.gif \
  --disposal=background --position 10,7 --delay 30 f2.gif \
  --disposal=previous --position 0,8 --delay 40 -t 2 f3.gif > anim.gif
gifsicle --loopcount=5 f0.gif f2.gif > loop5.gif
convert -dispose none -delay 10 f0.gif -dispose previous -delay 25 -page +3+2 f1.gif \
  -dispose background -page +3+1 f2.gif -loop 3 im-anim.gif

for gif in *.gif; do
  name=${gif%.gif}
  count=$(gifsicle --info "$gif" | sed -n '1s/.* \([0-9]*\) images\?$/\1/p')
  echo "$name $count" >> manifest.txt
  for ((i = 0; i < count; i++)); do
    giftopnm --image=$((i + 1)) --alphaout="$name.$i.pbm" "$gif" > "$name.$i.ppm" 2>/dev/null
  done
done
echo "gifs ready in $out"
