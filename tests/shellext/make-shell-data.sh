#!/usr/bin/env bash
# Test pictures for the shell extension, and the registration the installer
# would write, into the test prefix.
set -euo pipefail
out=$LUMETTA_TESTDATA/shellext
rm -rf "$out"; mkdir -p "$out"
# Halves that the scaler divides on whole pixels at 30 and 15 / 14 and 7.
convert -size 50x50 xc:'#FF0000' -size 50x50 xc:'#0000FF' +append -type TrueColor BMP3:"$out/wide.bmp"
convert -size 50x50 xc:'#FF0000' -size 50x50 xc:'#0000FF' -append -type TrueColor BMP3:"$out/tall.bmp"
convert -size 64x48 gradient:'#3080C0'-'#E0A040' -type TrueColor BMP3:"$out/photo.bmp"
cp "$out/wide.bmp" "$out/first.bmp"
cp "$out/tall.bmp" "$out/second.bmp"
head -c 100 "$out/photo.bmp" > "$out/truncated.bmp"
head -c 30 "$out/photo.bmp" > "$out/cut.bmp"
echo "not a picture at all" > "$out/text.bmp"
: > "$out/empty.bmp"
mkdir -p "$out/folder.bmp"
cp "$out/wide.bmp" "$out/wide.ltst"
# Names in every script (Greek, Cyrillic, Chinese, an emoji that UTF-16
# writes as a surrogate pair, an accent as a combining character), "ｆile.bmp"
# (a fullwidth f, which best-fit ANSI turns into "file.bmp") beside
# "file.bmp" with the other picture, "\uFFFD.bmp" (what an unpaired surrogate
# becomes on its way to a Unix name) and a path of more than 300 characters.
names=$out/names
long=$names/$(printf 'a%.0s' {1..100})/$(printf 'b%.0s' {1..100})/$(printf 'c%.0s' {1..100})
mkdir -p "$long"
for n in Φωτογραφία Фотография 写真 "日の出 🌅" $'Cafe\xcc\x81'; do cp "$out/wide.bmp" "$names/$n.bmp"; done
cp "$out/wide.bmp" "$names/file.bmp"
cp "$out/tall.bmp" "$names/ｆile.bmp"
cp "$out/tall.bmp" "$names/"$'\xef\xbf\xbd'.bmp
cp "$out/wide.bmp" "$long/写真.bmp"
"$LUMETTA_WINE" "$LUMETTA_BUILD/tools/shellhost/shellhost.exe$LUMETTA_PROGRAM_SUFFIX" register "$LUMETTA_BUILD/shellext/Lumetta.dll" >/dev/null
# The Preview page's animations and bad files.
# ImageMagick always writes a loop extension; gifsicle takes it out.
convert -delay 15 -size 40x30 xc:red xc:lime xc:blue GIF:- | gifsicle --no-loopcount > "$out/once.gif"
# ImageMagick puts the first frame's graphic control before its loop
# extension, which the decoder reads as the extension's; gifsicle writes the
# loop extension first.
convert -delay 15 -size 40x30 xc:red xc:lime xc:blue GIF:- | gifsicle --loopcount=forever > "$out/loop.gif"
convert -delay 15 -size 40x30 xc:red xc:lime xc:blue xc:yellow "$out/damaged.gif"
python3 - "$out/damaged.gif" <<'PY'
import sys
d = bytearray(open(sys.argv[1], 'rb').read())
# Spoil the third image descriptor's data: its LZW minimum code size.
seps = [i for i in range(13, len(d)) if d[i] == 0x2C and d[i - 1] == 0]
if len(seps) >= 3:
    d[seps[2] + 10] = 0x0F
open(sys.argv[1], 'wb').write(d)
PY
convert -size 300x200 gradient:'#208020'-'#E0E0E0' -type TrueColor BMP3:"$out/whole.bmp"
head -c 90000 "$out/whole.bmp" > "$out/truncated.bmp"
python3 - "$out/huge.png" <<'PY'
import struct, sys, zlib
def chunk(t, b): return struct.pack('>I', len(b)) + t + b + struct.pack('>I', zlib.crc32(t + b))
png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 30000, 30000, 8, 2, 0, 0, 0))
png += chunk(b'IDAT', zlib.compress(bytes(200))) + chunk(b'IEND', b'')
open(sys.argv[1], 'wb').write(png)
PY
# An animation with every disposal method, offsets, transparency and its own
# delays, on an 80 x 40 screen of 10-pixel blocks; ImageMagick composes the
# reference frames.  Disposal 0 ("undefined") is what ImageMagick writes by
# default, and means leave in place.
convert -size 40x20 xc:none -fill lime -draw 'rectangle 20,0 39,19' "$out/half-lime.png"
convert -dispose None -delay 20 -size 80x40 xc:red -fill blue -draw 'rectangle 40,0 79,39' \
  -dispose Background -delay 15 -page +0+0 "$out/half-lime.png" \
  -dispose Previous -delay 30 -page +40+20 \( -size 40x20 xc:yellow \) \
  -dispose Undefined -delay 15 -page +20+20 \( -size 20x20 xc:white \) \
  -dispose None -delay 25 -page +60+0 \( -size 20x20 xc:black \) \
  -set page 80x40 GIF:- | gifsicle --no-loopcount > "$out/disposal.gif"
convert "$out/disposal.gif" -coalesce "$out/disposal-%d.pam"
# The same frames as WebP (gif2webp turns the disposals into its own two),
# played once as the GIF is.
gif2webp -quiet "$out/disposal.gif" -o "$out/disposal-loop.webp"
webpmux -set loop 1 "$out/disposal-loop.webp" -o "$out/disposal.webp" >/dev/null
rm "$out/disposal-loop.webp"
rm "$out/half-lime.png"
# 300 images: blue, the 256th green, the rest red.
for c in blue lime red; do convert -size 8x8 xc:$c "$out/$c.gif"; done
many=(); for i in $(seq 255); do many+=("$out/blue.gif"); done
many+=("$out/lime.gif"); for i in $(seq 44); do many+=("$out/red.gif"); done
gifsicle --no-loopcount --delay 0 "${many[@]}" > "$out/many.gif"
rm "$out/blue.gif" "$out/lime.gif" "$out/red.gif"
# Big enough to take several of the page's ticks to decode.  Only the first
# Adam7 pass's pixels are white: each pass darkens the picture.
convert -size 8x8 xc:black -fill white -draw 'point 0,0' "$out/dot.png"
convert -size 4800x2400 tile:"$out/dot.png" \( -size 4800x2400 xc:gray10 +noise Uniform \) \
  -compose lighten -composite -depth 8 -interlace PNG -define png:compression-level=1 "$out/passes.png"
rm "$out/dot.png"
# The brightness comes first, the colour only in the last scan (the colour
# components have no detail scans at all, which a flat colour does not need).
cat > "$out/scans.txt" <<'SCANS'
0: 0 0 0 0;
0: 1 5 0 0;
0: 6 63 0 0;
1 2: 0 0 0 0;
SCANS
convert -size 4800x2400 xc:"#C02020" -attenuate 0.6 +noise Gaussian -depth 8 PPM:- |
  cjpeg -quality 95 -scans "$out/scans.txt" > "$out/passes.jpg"
rm "$out/scans.txt"
# A phone's portrait photo: stored on its side (red left, blue right), shown
# red above blue, drawn scan by scan.
convert -size 50x50 xc:'#FF0000' -size 50x50 xc:'#0000FF' +append -depth 8 PPM:- |
  cjpeg -quality 95 -progressive > "$out/turned.jpg"
exiftool -q -q -n -overwrite_original -Orientation=6 "$out/turned.jpg"
# A colour between the levels of the page's palette, for the palette display.
convert -size 64x32 xc:'#507090' -type TrueColor BMP3:"$out/between.bmp"
