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
