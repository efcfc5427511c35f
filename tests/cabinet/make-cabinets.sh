#!/usr/bin/env bash
# Cabinets from the maker (every block kind, several windows) checked by an
# independent reader: `cabextract -t` must pass and `cabextract` must give
# back the very bytes.  Also cabinets from gcab (MSZIP and stored) with
# cabextract's output beside them, for the engine tests.
set -euo pipefail
out=$LUMETTA_TESTDATA/cabinet
maker=$LUMETTA_BUILD/tools/makecab/makecab.exe$LUMETTA_PROGRAM_SUFFIX
rm -rf "$out"
mkdir -p "$out/in"
cd "$out/in"

: > empty
printf 'x' > one
python3 - <<'PY'
import random
r = random.Random(7)
# Crosses frames and data blocks without being a multiple of 32 KB.
open("mixed", "wb").write(bytes(r.choice(b"abcdefgh  \n") for _ in range(100001)))
open("random", "wb").write(bytes(r.getrandbits(8) for _ in range(70000)))
open("repeat", "wb").write(b"Lumetta thumbnails " * 20000)
# Executable-like: call instructions with relative targets among code bytes.
code = bytearray()
while len(code) < 150000:
    if r.random() < 0.2:
        code += b"\xe8" + r.randrange(-60000, 60000).to_bytes(4, "little", signed=True)
    else:
        code += bytes(r.choice([0x55, 0x89, 0xe5, 0x8b, 0x45, 0x08, 0xc3, 0x90]) for _ in range(3))
open("calls.exe", "wb").write(bytes(code))
# Larger than a 32 KB window, with repeats further back than the window.
block = bytes(r.getrandbits(8) for _ in range(50000))
open("far", "wb").write(block + b"-" * 1000 + block)
PY
head -c 200000 /bin/bash > bash.bin
files=(empty one mixed random repeat calls.exe far bash.bin)

check() { # cabinet
  local cab=$1 dir
  cabextract -q -t "$cab" >/dev/null || { echo "cabextract -t rejects $cab"; cabextract -t "$cab"; exit 1; }
  dir=$(mktemp -d)
  cabextract -q -d "$dir" "$cab"
  for f in "${files[@]}"; do
    cmp -s "$f" "$dir/$f" || { echo "cabextract gives other bytes for $f in $cab"; exit 1; }
  done
  rm -rf "$dir"
}

make() { # name, maker options...
  local name=$1; shift
  "$LUMETTA_WINE" "$maker" "$@" "../$name.cab" "${files[@]}"
  check "../$name.cab"
}
make lzx-auto
make lzx-verbatim --block=verbatim
make lzx-aligned --block=aligned
make lzx-uncompressed --block=uncompressed
make lzx-w15 --window=15 --block-frames=1
make lzx-w21 --window=21 --block-frames=5
make lzx-noe8 --no-e8 --no-checksums
make stored --stored

# Other writers, extracted by cabextract for comparison.
for kind in mszip plain; do
  opt=""; [ $kind = mszip ] && opt=-z
  gcab -c $opt "../gcab-$kind.cab" mixed random repeat one
  mkdir -p "../gcab-$kind"
  cabextract -q -d "../gcab-$kind" "../gcab-$kind.cab"
done
echo "cabextract accepts every cabinet"
