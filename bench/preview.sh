#!/usr/bin/env bash
# The Preview page's first full frame beside vipsthumbnail -s 426 (about the
# page's picture area) on a 24 MP JPEG, 12 MP PNG, TIFF and GIF, in one run.
# Seconds, median of the repetitions.
#   bench/preview.sh [--reps N]
source "$(dirname "$0")/../scripts/lib.sh"
reps=5
[ "${1:-}" = --reps ] && reps=$2
data=$BUILD_DIR/benchdata
mkdir -p "$data"
if [ ! -f "$data/photo24.jpg" ]; then
  convert -size 6000x4000 plasma:fractal -seed 5 -blur 0x2 -attenuate 0.4 +noise Gaussian -depth 8 "$data/photo.ppm"
  cjpeg -quality 90 "$data/photo.ppm" > "$data/photo24.jpg"
  rm "$data/photo.ppm"
fi
[ -f "$data/photo12.png" ] || convert "$data/photo24.jpg" -resize 4000x3000\! -define png:exclude-chunks=date,time "$data/photo12.png"
[ -f "$data/photo12.tif" ] || convert "$data/photo24.jpg" -resize 4000x3000\! -compress lzw "$data/photo12.tif"
[ -f "$data/photo12.gif" ] || convert "$data/photo24.jpg" -resize 4000x3000\! -colors 256 "$data/photo12.gif"
files=("$data/photo24.jpg" "$data/photo12.png" "$data/photo12.tif" "$data/photo12.gif")
winfiles=()
for f in "${files[@]}"; do winfiles+=("Z:${f//\//\\}"); done
prepare_prefix
"$WINE" "$(program_path bench/previewbench)" --reps "$reps" "${winfiles[@]}" | tr -d '\r'
for f in "${files[@]}"; do
  times=()
  for ((i = 0; i < reps; i++)); do
    t0=$(date +%s%N)
    vipsthumbnail -s 426 -o /tmp/preview-bench-vips.png "$f" >/dev/null 2>&1 || true
    t1=$(date +%s%N)
    times+=($(( (t1 - t0) / 1000 )))
  done
  median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { printf "%.3f", a[int((NR + 1) / 2)] / 1000000 }')
  printf '%-24s %-44s %10s\n' "$(basename "$f")" "vipsthumbnail -s 426" "$median"
done
rm -f /tmp/preview-bench-vips.png
