#!/usr/bin/env bash
# The shell's thumbnail road (extractbench: class factory, Load,
# GetIconLocation, Extract of 32 and 16 pixel icons) beside vipsthumbnail
# making one 32-pixel thumbnail of each file, over one folder of photo-like
# 1600x1200 bitmaps (made once in BUILD_DIR/bench-photos).
#   bench/run-extract.sh [--count N] [--reps N]
source "$(dirname "$0")/../scripts/lib.sh"
count=200 reps=1
while [ $# -gt 0 ]; do
  case "$1" in
    --count) count=$2; shift ;;
    --reps) reps=$2; shift ;;
    *) echo "usage: $0 [--count N] [--reps N]" >&2; exit 2 ;;
  esac
  shift
done
BENCH=$(program_path bench/extractbench)
[ -f "$BENCH" ] || { ensure_packages; build_project; }
prepare_prefix
"$ROOT/scripts/register-dev" >/dev/null

photos=$BUILD_DIR/bench-photos
if [ "$(ls "$photos" 2>/dev/null | wc -l)" -ne "$count" ]; then
  echo "making $count photo-like 1600x1200 bitmaps in $photos"
  rm -rf "$photos"; mkdir -p "$photos"
  # Twenty distinct pictures, each used count/20 times under its own names.
  for i in $(seq 0 19); do
    convert -seed $i -size 400x300 plasma:fractal -blur 0x2 -resize 1600x1200! \
      -attenuate 0.3 +noise Gaussian -type TrueColor BMP3:"$photos/photo-$i-0.bmp"
  done
  n=20
  while [ $n -lt "$count" ]; do
    i=$((n % 20)); cp "$photos/photo-$i-0.bmp" "$photos/photo-$i-$((n / 20)).bmp"; n=$((n + 1))
  done
fi

echo "== Lumetta: the whole Extract road in-process, both icons"
"$WINE" "$BENCH" "$BUILD_DIR/shellext/Lumetta.dll" "$photos" --reps "$reps"
echo "== vipsthumbnail -s 32, one run over the folder"
scratch=$(mktemp -d); trap 'rm -rf "$scratch"' EXIT
start=$(date +%s.%N)
vipsthumbnail -s 32 -o "$scratch/%s.png" "$photos"/*.bmp
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v n="$count" 'BEGIN { printf "vipsthumbnail ms/file: %.2f (total %.2f s)\n", (e - s) * 1000 / n, e - s }'
