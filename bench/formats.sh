#!/usr/bin/env bash
# One table: the thumbnail of every format, per file, beside vipsthumbnail
# and beside the floor of the format, all measured in the same run.
#   bench/formats.sh [--reps N] [--formats "bmp gif ..."]
# For each format a folder holds two different photo-like pictures at 12 and
# 24 megapixels (made once, cached in BUILD_DIR/bench-formats, or in
# BENCH_FORMATS_DIR so that the builds can share them).  Columns, in
# milliseconds per file, each the median of N rounds over the folder:
#   thumb    imgbench thumb: open, probe and the icon handler's recipe
#            (MakeThumbnailPictures, 32 and 16 pixels), in one process
#   extract  extractbench: the shell's whole road through Lumetta.dll's COM
#            objects (Load, GetIconLocation, Extract of both icons)
#   vips     `vipsthumbnail -s 32` over the folder in one process
#   floor    the decoding no thumbnailer can skip, from independent code:
#            JPEG `djpeg -scale 1/8 -dct fast -nosmooth` (one process a
#            file); PNG zlib's inflate of the image data alone; TIFF
#            libtiff's own strip decoding (TIFFReadEncodedStrip); GIF the
#            LZW decoding of the frame alone (giflib's DGifGetLine).  The
#            last three run in bench/floor.c, built for the host, timed
#            in-process with the file already in memory.
#   vips/thumb  how many times ahead of vipsthumbnail
#   h256     extractbench --thumbnail 256: today's Explorer's road through
#            Lumetta.dll's thumbnail handler (the file as a stream,
#            GetThumbnail of 256 pixels)
#   vips256  `vipsthumbnail -s 256` over the folder in one process
#   v256/h256  how many times ahead of vipsthumbnail at 256 pixels
#   thumb/floor how far above the floor
#   jpg-turned  the JPEG files again, each with an EXIF Orientation of 6 (a
#            portrait photo stored on its side, turned upright at icon size)
#   webp-lossy, webp-lossless  the PNG pictures through cwebp (-q 80, and
#            lossless at its fastest effort); no floor
# LUMETTA_TARGET selects the build as for the other scripts.  With
# BENCH_JPEG_LIBJPEG=1 a row "jpg-lib" follows JPEG's: the thumb column with
# every file left to libjpeg (the road before the eighth-size decoder),
# measured in the same rounds.
source "$(dirname "$0")/../scripts/lib.sh"
PACKAGES+=(libgif-dev libimage-exiftool-perl)

reps=5
formats="bmp tga pcx gif png tif-lzw tif-zip jpg jpg-turned webp-lossy webp-lossless"
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps=$2; shift ;;
    --formats) formats=$2; shift ;;
    *) echo "usage: $0 [--reps N] [--formats \"bmp gif ...\"]" >&2; exit 2 ;;
  esac
  shift
done

ensure_packages
build_project >/dev/null
prepare_prefix
"$ROOT/scripts/register-dev" >/dev/null

data=${BENCH_FORMATS_DIR:-$BUILD_DIR/bench-formats}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# ---------------------------------------------------------------- pictures
# Plasma blurred and resized, with grain: smooth areas and noise, as in a
# photograph, so that no coder finds it unusually easy.
make_source() { # seed out.ppm (6000 x 4000)
  convert -seed "$1" -size 1500x1000 plasma:fractal -blur 0x1.5 -resize 6000x4000\! \
    -attenuate 0.4 +noise Gaussian -depth 8 "$2"
}

# One picture in every format; GIF from 256 colours chosen for it.
write_formats() { # in.ppm name
  local in=$1 name=$2
  mkdir -p "$data"/{bmp,tga,pcx,gif,png,tif-lzw,tif-zip,jpg}
  ppmtobmp -bpp 24 "$in" > "$data/bmp/$name.bmp" 2>/dev/null
  ppmtotga -rgb "$in" > "$data/tga/$name.tga" 2>/dev/null
  ppmtopcx -24bit "$in" > "$data/pcx/$name.pcx" 2>/dev/null
  convert "$in" -colors 256 "$data/gif/$name.gif"
  convert "$in" -define png:exclude-chunks=date,time "$data/png/$name.png"
  convert "$in" -compress LZW "$data/tif-lzw/$name.tif"
  convert "$in" -compress Zip "$data/tif-zip/$name.tif"
  cjpeg -quality 90 "$in" > "$data/jpg/$name.jpg"
}

make_pictures() {
  [ -f "$data/done" ] && return 0
  echo "making the pictures in $data (a few minutes, once)" >&2
  rm -rf "$data" && mkdir -p "$data"
  local seed
  for seed in 1 2; do
    make_source "$seed" "$scratch/p$seed-24.ppm"
    convert "$scratch/p$seed-24.ppm" -resize 4000x3000\! "$scratch/p$seed-12.ppm"
    write_formats "$scratch/p$seed-24.ppm" "photo$seed-24mp"
    write_formats "$scratch/p$seed-12.ppm" "photo$seed-12mp"
    rm -f "$scratch/p$seed-24.ppm" "$scratch/p$seed-12.ppm"
  done
  touch "$data/done"
}

# The same JPEG pictures as a phone stores its portrait photos.
make_turned() {
  [ -d "$data/jpg-turned" ] && return 0
  mkdir -p "$data/jpg-turned.new"
  cp "$data"/jpg/*.jpg "$data/jpg-turned.new/"
  exiftool -q -q -n -overwrite_original -Orientation=6 "$data"/jpg-turned.new/*.jpg
  mv "$data/jpg-turned.new" "$data/jpg-turned"
}

# The same pictures as WebP, lossy and lossless.
make_webp() {
  local kind f
  for kind in lossy lossless; do
    [ -d "$data/webp-$kind" ] && continue
    mkdir -p "$data/webp-$kind.new"
    for f in "$data"/png/*.png; do
      if [ "$kind" = lossy ]; then
        cwebp -quiet -q 80 "$f" -o "$data/webp-$kind.new/$(basename "$f" .png).webp"
      else
        cwebp -quiet -lossless -z 1 "$f" -o "$data/webp-$kind.new/$(basename "$f" .png).webp"
      fi
    done
    mv "$data/webp-$kind.new" "$data/webp-$kind"
  done
}

# ---------------------------------------------------------------- timing
# Each round times every contestant once, one after another, and each
# column is the median of its rounds: a machine whose load changes during
# the run then weighs on all columns alike.
median() { sort -n | awk '{ a[NR] = $1 } END { if (!NR) { print "-"; exit }
  printf "%.1f\n", NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

# Milliseconds a file: the mean over the folder of per-file figures.
per_file() { awk '{ s += $1; n++ } END { printf "%.1f\n", n ? s / n : 0 }'; }

now_us() { echo $(( $(date +%s%N) / 1000 )); }

lumetta_thumb() { # dir
  "$WINE" "$(program_path bench/imgbench)" thumb --reps 1 "$1"/* | tr -d '\r' |
    tail -n +2 | awk '{ print $5 }' | per_file
}

lumetta_extract() { # dir [--thumbnail N]
  "$WINE" "$(program_path bench/extractbench)" "$BUILD_DIR/shellext/Lumetta.dll" "$@" |
    tr -d '\r' | sed -n 's/^extract mean ms\/file: //p'
}

vips_thumb() { # dir [size]
  local t0 files=("$1"/*)
  t0=$(now_us)
  vipsthumbnail -s "${2:-32}" -o "$scratch/%s.png" "${files[@]}" >/dev/null 2>&1
  awk -v t="$(( $(now_us) - t0 ))" -v n="${#files[@]}" 'BEGIN { printf "%.1f\n", t / n / 1000 }'
}

FLOOR=$BUILD_DIR/bench-floor
build_floor() {
  if [ ! -x "$FLOOR" ] || [ "$ROOT/bench/floor.c" -nt "$FLOOR" ]; then
    cc -O2 -o "$FLOOR" "$ROOT/bench/floor.c" -lz -ltiff -lgif
  fi
}

floor_of() { # format dir
  local format=$1 dir=$2 f t0
  case "$format" in
    jpg|jpg-turned)
      for f in "$dir"/*; do
        t0=$(now_us)
        djpeg -scale 1/8 -dct fast -nosmooth -outfile /dev/null "$f"
        awk -v t="$(( $(now_us) - t0 ))" 'BEGIN { print t / 1000 }'
      done | per_file ;;
    png|gif) "$FLOOR" "$format" 1 "$dir"/* | per_file ;;
    tif-*) "$FLOOR" tif 1 "$dir"/* | per_file ;;
    *) echo "-" ;;
  esac
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }'; }

make_pictures
make_turned
make_webp
build_floor
echo "build $LUMETTA_TARGET; $(ls "$data/bmp" | wc -l) files a format; median of $reps rounds;" \
     "ms per file; $(uptime | sed 's/.*load/load/')"
row() { printf '%-8s %8s %8s %8s %8s %11s %12s %8s %8s %10s\n' "$@"; }
row format thumb extract vips floor vips/thumb thumb/floor h256 vips256 v256/h256
for format in $formats; do
  dir=$data/$format
  for f in thumb thumblib extract vips floor h256 vips256; do : > "$scratch/$f"; done
  for ((round = 0; round < reps; round++)); do
    lumetta_thumb "$dir" >> "$scratch/thumb"
    if [ "$format" = jpg ] && [ -n "${BENCH_JPEG_LIBJPEG:-}" ]; then
      LUMETTA_BENCH_LIBJPEG=1 lumetta_thumb "$dir" >> "$scratch/thumblib"
    fi
    lumetta_extract "$dir" >> "$scratch/extract"
    vips_thumb "$dir" >> "$scratch/vips"
    floor_of "$format" "$dir" >> "$scratch/floor"
    lumetta_extract "$dir" --thumbnail 256 >> "$scratch/h256"
    vips_thumb "$dir" 256 >> "$scratch/vips256"
  done
  thumb=$(median < "$scratch/thumb")
  extract=$(median < "$scratch/extract")
  vips=$(median < "$scratch/vips")
  floor=$( (grep -v -- - "$scratch/floor" || true) | median)
  h256=$(median < "$scratch/h256")
  vips256=$(median < "$scratch/vips256")
  row "$format" "$thumb" "$extract" "$vips" "$floor" "$(ratio "$vips" "$thumb")" \
    "$(ratio "$thumb" "$floor")" "$h256" "$vips256" "$(ratio "$vips256" "$h256")"
  if [ -s "$scratch/thumblib" ]; then
    thumb=$(median < "$scratch/thumblib")
    row "$format-lib" "$thumb" - "$vips" "$floor" "$(ratio "$vips" "$thumb")" \
      "$(ratio "$thumb" "$floor")" - - -
  fi
done
echo "load at the end: $(uptime | sed 's/.*load average: //')"
