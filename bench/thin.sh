#!/usr/bin/env bash
# Thumbnails of thin pictures beside a square one of the same format, in one
# run: 1 x 65535, 4 x 65534 and 65535 x 1 (65500 for JPEG, its limit), and
# for GIF each also as the frame of a 4 x 3 logical screen.  None should take
# more than twice the 512 x 512 square's time; the last column says so.
# (PCX lines hold at most 65534 pixels, so its wide picture is 65534 x 1.)
#   bench/thin.sh [--reps N]
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
reps=5
[ "${1:-}" = "--reps" ] && reps=$2
ensure_packages
build_project >/dev/null
prepare_prefix

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# A PCX writer: netpbm's puts an odd line length in a one-pixel row.  Lines
# have an even length of at most 65534, so 65535 x 1 loses a column.
pcx() { # in.ppm out.pcx
  python3 - "$1" "$2" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
parts = data.split(maxsplit=4)
w, h = int(parts[1]), int(parts[2])
pixels = data[len(data) - w * h * 3:]
full = w
w = min(w, 65534)
bpl = w + (w & 1)
out = bytearray(128)
struct.pack_into('<BBBBHHHHHH', out, 0, 10, 5, 1, 8, 0, 0, w - 1, h - 1, 72, 72)
out[65] = 3
struct.pack_into('<HH', out, 66, bpl, 1)
for y in range(h):
    row = pixels[y * full * 3:(y * full + w) * 3]
    for c in range(3):
        line = bytes(row[c::3]) + b'\0' * (bpl - w)
        for b in line:
            if b >= 0xC0:
                out += bytes([0xC1])
            out.append(b)
open(sys.argv[2], 'wb').write(out)
PY
}

# The same picture as the frame of a 4 x 3 logical screen.
small_screen() { # in.gif out.gif
  python3 -c "import sys; d = bytearray(open(sys.argv[1], 'rb').read()); d[6:10] = bytes([4, 0, 3, 0]); open(sys.argv[2], 'wb').write(d)" "$1" "$2"
}

shapes=("512 512 square" "1 65535 1x65535" "4 65534 4x65534" "65535 1 65535x1")
for s in "${shapes[@]}"; do
  set -- $s
  pgmramp -diagonal "$1" "$2" > "$3.pgm"
  pgmtoppm rgb:ff/80/20 "$3.pgm" > "$3.ppm"
  ppmtobmp -bpp 24 "$3.ppm" > "$3.bmp" 2>/dev/null
  ppmtotga -rgb "$3.ppm" > "$3.tga" 2>/dev/null
  pcx "$3.ppm" "$3.pcx"
  pnmtopng "$3.ppm" > "$3.png" 2>/dev/null
  pnmtotiff -lzw "$3.ppm" > "$3.tif" 2>/dev/null
  ppmtogif "$3.pgm" > "$3.gif" 2>/dev/null
  [ "$3" != square ] && small_screen "$3.gif" "$3-on-4x3.gif"
  if [ "$1" -le 65500 ] && [ "$2" -le 65500 ]; then
    cjpeg -quality 90 "$3.ppm" > "$3.jpg"
  else
    pnmcut -width $(( $1 < 65500 ? $1 : 65500 )) -height $(( $2 < 65500 ? $2 : 65500 )) "$3.ppm" |
      cjpeg -quality 90 > "$3.jpg"
  fi
done

bench=$(program_path bench/imgbench)
printf '%-6s %-20s %10s %8s %s\n' format picture "median ms" "x square" ""
for ext in bmp gif tga png tif pcx jpg; do
  files=("$dir/square.$ext" "$dir/1x65535.$ext" "$dir/4x65534.$ext" "$dir/65535x1.$ext")
  [ "$ext" = gif ] && files+=("$dir/1x65535-on-4x3.gif" "$dir/4x65534-on-4x3.gif" "$dir/65535x1-on-4x3.gif")
  square=""
  "$WINE" "$bench" thumb --reps "$reps" "${files[@]}" | tr -d '\r' | tail -n +2 |
    while read -r mode name size n median best rate rest; do
      [ -z "$square" ] && square=$median
      ratio=$(echo "scale=2; $median / $square" | bc)
      verdict=""
      [ "$(echo "$ratio > 2" | bc)" = 1 ] && verdict="over twice the square"
      [ -n "$rest" ] && verdict="$verdict $rest"
      printf '%-6s %-20s %10s %8s %s\n' "$ext" "${name%.*}" "$median" "$ratio" "$verdict"
    done
done
