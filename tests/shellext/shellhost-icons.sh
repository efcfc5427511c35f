#!/usr/bin/env bash
# The icons the shell host gets for the 100x50 and 50x100 pictures, compared
# pixel for pixel (transparency exact, colours within 1%: the area average
# may round a solid 255 to 254) with frames drawn by ImageMagick.
set -euo pipefail
data=$LUMETTA_TESTDATA/shellext
out=$(mktemp -d); trap 'rm -rf "$out"' EXIT
# Windows programs end their lines with CR LF.
host() { "$LUMETTA_WINE" "$LUMETTA_BUILD/tools/shellhost/shellhost.exe$LUMETTA_PROGRAM_SUFFIX" "$@" | tr -d '\r'; }
fail=0

# expect NAME SIZE "black frame rect" "red rect" "blue rect"
expect() {
  convert -size "$2x$2" xc:none -fill black -draw "rectangle $3" \
    -fill '#FF0000' -draw "rectangle $4" -fill '#0000FF' -draw "rectangle $5" PNG32:"$out/$1-expected.png"
  local diff
  diff=$(compare -metric AE -fuzz 1% "$out/$1.png" "$out/$1-expected.png" null: 2>&1 || true)
  if [ "$diff" != "0" ]; then
    echo "FAIL $1: $diff pixels differ"; fail=1
    convert "$out/$1.png" txt:- | grep -v none | head -20
  else
    echo "ok $1"
  fi
}

host icon "$data/wide.bmp" "$out/wide" > "$out/wide.txt"
grep -q '^index: -2147483648$' "$out/wide.txt" && grep -q '^flags: 0xa$' "$out/wide.txt" ||
  { echo "FAIL wide: not a thumbnail"; cat "$out/wide.txt"; fail=1; }
grep -q 'unload: .* S_OK' "$out/wide.txt" || { echo "FAIL: module still busy"; fail=1; }
# 30x15 picture: the frame spans all columns of rows 7-23, picture from (1,8).
expect wide-32 32 "0,7 31,23" "1,8 15,22" "16,8 30,22"
# 14x7 picture: frame rows 3-11, picture from (1,4).
expect wide-16 16 "0,3 15,11" "1,4 7,10" "8,4 14,10"

host icon "$data/tall.bmp" "$out/tall" > "$out/tall.txt"
# 15x30 picture: the odd spare column goes left, frame columns 8-24.
expect tall-32 32 "8,0 24,31" "9,1 23,15" "9,16 23,30"
# 7x14 picture: frame columns 4-12.
expect tall-16 16 "4,0 12,15" "5,1 11,7" "5,8 11,14"

# Not an image: the type's own icon, still two sizes.
host icon "$data/text.bmp" "$out/text" > "$out/text.txt"
grep -q '^flags: 0x2$' "$out/text.txt" || { echo "FAIL text: flags"; cat "$out/text.txt"; fail=1; }
[ "$(identify -format '%wx%h' "$out/text-32.png")" = 32x32 ] || { echo "FAIL text icon"; fail=1; }

# A folder window with every kind of file in it.
host folder "$data" "$out/folder.png" > "$out/folder.txt"
grep -q '^wide.bmp: thumbnail$' "$out/folder.txt" && grep -q '^empty.bmp: type icon$' "$out/folder.txt" ||
  { echo "FAIL folder"; cat "$out/folder.txt"; fail=1; }
# Names in any script: the shell host's and imgtool's own names too.
names=$data/names
host icon "$names/写真.bmp" "$out/写真" > "$out/cjk.txt"
grep -q '^thumbnail: yes$' "$out/cjk.txt" && cmp -s "$out/写真-32.png" "$out/wide-32.png" ||
  { echo "FAIL 写真.bmp"; cat "$out/cjk.txt"; fail=1; }
# "ｆile.bmp" (fullwidth f) shows its own picture, not file.bmp's beside it.
host icon "$names/ｆile.bmp" "$out/fullwidth" > /dev/null
cmp -s "$out/fullwidth-32.png" "$out/tall-32.png" || { echo "FAIL ｆile.bmp shows another picture"; fail=1; }
host folder "$names" "$out/names.png" > "$out/names.txt"
[ "$(grep -c ': thumbnail$' "$out/names.txt")" = 8 ] && grep -qx '写真.bmp: thumbnail' "$out/names.txt" ||
  { echo "FAIL names folder"; cat "$out/names.txt"; fail=1; }
# Today's Explorer's road: the thumbnail handler over a stream, with alpha
# as ImageMagick reads the file; a folder in Explorer's thumbnail view.
host thumbnail "$LUMETTA_TESTDATA/thumbs/alpha.png" 256 "$out/alpha.png" > "$out/alpha.txt"
grep -qx 'size: 100x60' "$out/alpha.txt" && grep -qx 'alpha: argb' "$out/alpha.txt" &&
  [ "$(compare -metric AE -fuzz 1% "$out/alpha.png" "$LUMETTA_TESTDATA/thumbs/alpha.png" null: 2>&1)" = 0 ] ||
  { echo "FAIL thumbnail road"; cat "$out/alpha.txt"; fail=1; }
host folder "$data" "$out/folder-96.png" --size 96 > "$out/folder-96.txt"
grep -qx 'wide.bmp: thumbnail 96x48' "$out/folder-96.txt" && grep -qx 'empty.bmp: type icon' "$out/folder-96.txt" ||
  { echo "FAIL thumbnail folder"; cat "$out/folder-96.txt"; fail=1; }
imgtool() { "$LUMETTA_WINE" "$LUMETTA_BUILD/tools/imgtool/imgtool.exe$LUMETTA_PROGRAM_SUFFIX" "$@" | tr -d '\r'; }
imgtool info "$names/日の出 🌅.bmp" | grep -qx 'width: 100' || { echo "FAIL imgtool info"; fail=1; }
imgtool thumb "$names/Фотография.bmp" "$out/Фото.pam" --size 32 | grep -qx 'status: 0' &&
  [ "$(identify -format '%wx%h' "$out/Фото.pam")" = 32x16 ] || { echo "FAIL imgtool thumb"; fail=1; }
exit $fail
