#!/usr/bin/env bash
# The Details and Preview pages in Wine's own Properties dialog, opened the
# way the explorer does (context menu, "properties"): which pages the shell
# shows, the Details page's texts read back from its controls, the Preview's
# picture, and that closing the dialog unmaps the file and frees the module.
set -euo pipefail
data=${PROPERTIES_KEEP:-$(mktemp -d)}; [ -n "${PROPERTIES_KEEP:-}" ] || trap 'rm -rf "$data"' EXIT
host() { "$LUMETTA_WINE" "$LUMETTA_BUILD/tools/shellhost/shellhost.exe$LUMETTA_PROGRAM_SUFFIX" "$@" | tr -d '\r'; }
fail=0

convert -size 40x30 gradient:white-black -monochrome BMP3:"$data/one.bmp"
convert -size 40x30 gradient:red-blue -type Palette BMP3:"$data/eight.bmp"
convert -size 40x30 gradient:red-blue -define bmp:subtype=RGB555 BMP:"$data/sixteen.bmp"
convert -size 40x30 gradient:red-blue -type TrueColor BMP3:"$data/twentyfour.bmp"
convert -size 40x30 gradient:red-blue -type TrueColorAlpha BMP:"$data/thirtytwo.bmp"
convert -size 1000x200 gradient:'#2060C0'-'#F0C040' -define png:exclude-chunk=date,time \
  -set Title "Evening sky" -set Author "A. Painter" PNG24:"$data/texts.png"
# ImageMagick writes its texts after the image data; the description is read
# from the chunks before it.
python3 - "$data/texts.png" <<'PY'
import struct, sys
d = open(sys.argv[1], 'rb').read(); p = 8; chunks = []
while p < len(d):
    n, t = struct.unpack('>I4s', d[p:p + 8]); chunks.append((t, d[p:p + 12 + n])); p += 12 + n
texts = b''.join(c for t, c in chunks if t == b'tEXt')
out = d[:8]
for t, c in chunks:
    if t == b'IDAT' and texts:
        out += texts; texts = b''
    if t != b'tEXt':
        out += c
open(sys.argv[1], 'wb').write(out)
PY
echo "no picture in here" > "$data/text.png"
convert -size 300x200 gradient:'#208020'-'#E0E0E0' -type TrueColor BMP3:"$data/whole.bmp"
head -c 90000 "$data/whole.bmp" > "$data/truncated.bmp"
convert -delay 20 -dispose Background -size 60x40 xc:red xc:lime xc:blue -loop 0 "$data/anim.gif"
cp "$data/anim.gif" "$data/off.gif"
# 30000 x 30000 declared, a few bytes of image data.
python3 - "$data/huge.png" <<'PY'
import struct, sys, zlib
def chunk(t, b): return struct.pack('>I', len(b)) + t + b + struct.pack('>I', zlib.crc32(t + b))
png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 30000, 30000, 8, 2, 0, 0, 0))
png += chunk(b'IDAT', zlib.compress(bytes(200))) + chunk(b'IEND', b'')
open(sys.argv[1], 'wb').write(png)
PY

# expect FILE OUTPUT-LINE...: every line must be in the shell host's output.
expect() {
  local name=$1; shift
  local out="$data/$name.out"
  host properties "$data/$name" "$data/shots-$name" > "$out" 2>&1 || true
  for line in "$@"; do
    grep -qxF "$line" "$out" || { echo "FAIL $name: no line '$line'"; fail=1; }
  done
  grep -qx 'mapped images: 0' "$out" || { echo "FAIL $name: a file stays mapped"; fail=1; }
  [ $fail = 0 ] || cat "$out"
}

expect one.bmp 'pages: General Details Preview' 'details 1003 shown: Windows Bitmap' \
  'details 1046 shown: None' 'details 1004 shown: 40x30' 'details 1005 shown: Monochrome' \
  'details 1033 hidden: Label'
expect eight.bmp 'details 1005 shown: 256 Colors'
expect sixteen.bmp 'details 1005 shown: Thousands of Colors'
expect twentyfour.bmp 'details 1005 shown: Millions of Colors' 'preview settled: yes'
expect thirtytwo.bmp 'details 1005 shown: True Color'
expect texts.png 'details 1003 shown: Portable Network Graphics' 'details 1004 shown: 1000x200' \
  'details 1033 shown: Title:' 'details 1038 shown: Evening sky' \
  'details 1034 shown: Author:' 'details 1039 shown: A. Painter' \
  'details 1035 hidden: Label' 'details 1037 hidden: Label' 'details 1042 hidden: ' \
  'preview settled: yes'
# Not an image: the shell's own page only.
expect text.png 'pages: General'
[ -s "$data/shots-texts.png/details.png" ] && [ -s "$data/shots-texts.png/preview.png" ] ||
  { echo "FAIL: no screenshots"; fail=1; }

# The 1000x200 picture fills the width of the picture area and is centred
# in its height.
read -r ax ay aw ah < <(sed -n 's/^picture area: //p' "$data/texts.png.out")
want_h=$(( (aw * 200 + 500) / 1000 ))
got=$(convert "$data/shots-texts.png/preview.png" -crop "${aw}x${ah}+${ax}+${ay}" +repage -fuzz 3% -trim \
      -format '%w %h %X %Y' info: | tr -d '+')
if [ "$got" != "$aw $want_h 0 $(( (ah - want_h) / 2 ))" ]; then
  echo "FAIL geometry: area ${aw}x${ah}, picture (w h x y) $got, wanted $aw $want_h 0 $(( (ah - want_h) / 2 ))"; fail=1
fi

# Bad files still get their pages, and the dialog closes cleanly.
expect truncated.bmp 'pages: General Details Preview' 'details 1004 shown: 300x200'
expect huge.png 'pages: General Details Preview' 'details 1004 shown: 30000x30000'
expect anim.gif 'pages: General Details Preview' 'details 1003 shown: Compuserve Graphics Interchange Format 89a'

# Deleted and replaced by another file while its dialog is open: the pages go
# on with the picture they have mapped, and the dialog closes cleanly.
cp "$data/whole.bmp" "$data/gone.bmp"
( sleep 1; rm -f "$data/gone.bmp"; convert -size 30x30 xc:red BMP3:"$data/gone.bmp" ) &
expect gone.bmp 'pages: General Details Preview' 'details 1004 shown: 300x200' 'preview settled: yes'
wait

# Names outside any code page: the pages, the name as it is, and for
# "ｆile.bmp" (fullwidth f) its own picture, not that of file.bmp beside it.
cp -r "$LUMETTA_TESTDATA/shellext/names/." "$data/"
expect 写真.bmp 'pages: General Details Preview' 'title: Properties for 写真.bmp' 'details 1002 shown: 写真.bmp' 'details 1004 shown: 100x50'
expect 'ｆile.bmp' 'pages: General Details Preview' 'details 1002 shown: ｆile.bmp' 'details 1004 shown: 50x100'
expect "日の出 🌅.bmp" 'details 1002 shown: 日の出 🌅.bmp' 'details 1004 shown: 100x50'

# Two files at once: no pages of ours.
host properties "$data/one.bmp" "$data/eight.bmp" "$data/shots-two" > "$data/two.out" 2>&1 || true
if grep -q 'Details' "$data/two.out"; then echo "FAIL two files got pages"; cat "$data/two.out"; fail=1; fi

# A switched-off type, then the whole product switched off: none.
key='HKLM\Software\Norvane Information\Lumetta'
"$LUMETTA_WINE" reg add "$key" /v "Enabled Types" /t REG_BINARY /d 01000101010101 /f >/dev/null 2>&1
expect off.gif 'pages: General'
expect one.bmp 'details 1005 shown: Monochrome'
"$LUMETTA_WINE" reg delete "$key" /v "Enabled Types" /f >/dev/null 2>&1
"$LUMETTA_WINE" reg add "$key" /v Enabled /t REG_DWORD /d 0 /f >/dev/null 2>&1
expect one.bmp 'pages: General'
"$LUMETTA_WINE" reg delete "$key" /v Enabled /f >/dev/null 2>&1
exit $fail
