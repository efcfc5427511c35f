#!/usr/bin/env bash
# The JPEG and PNG thumbnail figures: a 24-megapixel baseline JPEG and a
# 12-megapixel PNG (made once, kept in the build folder), run through
# run-peers.sh beside vipsthumbnail and convert, and djpeg at 1/8 with the
# decoder's options, which is the floor of entropy decoding.
#   bench/jpeg-png.sh [--reps N]
source "$(dirname "$0")/../scripts/lib.sh"
reps=7
[ "${1:-}" = --reps ] && reps=$2
data=$BUILD_DIR/benchdata
mkdir -p "$data"
if [ ! -f "$data/photo24.jpg" ] || [ ! -f "$data/photo12.png" ]; then
  echo "making the pictures (about a minute)" >&2
  convert -size 6000x4000 plasma:fractal -seed 5 -blur 0x2 -attenuate 0.4 +noise Gaussian \
    -depth 8 "$data/photo.ppm"
  cjpeg -quality 90 "$data/photo.ppm" > "$data/photo24.jpg"
  convert "$data/photo.ppm" -resize 4000x3000\! -depth 8 \
    -define png:exclude-chunks=date,time "$data/photo12.png"
  rm "$data/photo.ppm"
fi
bash "$(dirname "$0")/run-peers.sh" --reps "$reps" --modes thumb "$data/photo24.jpg" "$data/photo12.png"
times=()
for ((i = 0; i < reps; i++)); do
  t0=$(date +%s%N)
  djpeg -scale 1/8 -dct fast -nosmooth -outfile /dev/null "$data/photo24.jpg"
  t1=$(date +%s%N)
  times+=($(( (t1 - t0) / 1000 )))
done
median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { printf "%.3f", a[int((NR + 1) / 2)] / 1000 }')
printf '%-24s %-44s %10s\n' photo24.jpg "djpeg -scale 1/8 -dct fast -nosmooth" "$median"
