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
