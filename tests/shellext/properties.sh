#!/usr/bin/env bash
# The Details and Preview pages in Wine's own Properties dialog, opened the
# way the explorer does (context menu, "properties"): which pages the shell
# shows, the Details page's texts read back from its controls, the Preview's
# picture, and that closing the dialog unmaps the file and frees the module.
set -euo pipefail
data=$(mktemp -d); trap 'rm -rf "$data"' EXIT
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
# in its height: the same number of page-coloured rows above and below.
exit $fail
