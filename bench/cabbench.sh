#!/usr/bin/env bash
# Extraction speed of the engine against cabextract on one ~20 MB LZX
# cabinet of mixed content, and the maker's compression against gzip -9 on
# the same bytes.  Run by hand: BUILD_DIR=build bench/cabbench.sh
source "$(dirname "$0")/../scripts/lib.sh"
[ -f "$(program_path bench/cabbench)" ] || { ensure_packages; build_project; }
prepare_prefix
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/in"
# Ordinary text (about 6 MB) and binaries, about 20 MB in all.
total=0
for f in /usr/share/doc/*/copyright /usr/share/doc/*/changelog*.gz /usr/bin/*; do
  [ -f "$f" ] && [ ! -L "$f" ] || continue
  size=$(stat -c %s "$f")
  case "$f" in /usr/share/*) [ "$total" -lt 6000000 ] || continue ;; esac
  [ "$size" -gt 0 ] && [ "$size" -lt 3000000 ] || continue
  name=$(echo "$f" | tr / _)
  case "$f" in *.gz) zcat "$f" > "$work/in/$name.txt" 2>/dev/null || continue ;; *) cp "$f" "$work/in/$name" ;; esac
  total=$((total + $(stat -c %s "$work/in/$name"* | head -n1)))
  [ "$total" -lt 20000000 ] || break
done
cd "$work/in"
files=(*)
bins=$(ls | grep -vEc "\.txt$|copyright$" || true)
echo "corpus: ${#files[@]} files ($bins binaries), $total bytes"
start=$(date +%s.%N)
"$WINE" "$(program_path tools/makecab/makecab)" "$work/all.cab" "${files[@]}"
end=$(date +%s.%N)
cat "${files[@]}" > "$work/all.bin"
gz=$(gzip -9 -c "$work/all.bin" | wc -c)
cab=$(stat -c %s "$work/all.cab")
echo "makecab: $cab bytes ($(echo "scale=1; $end - $start" | bc) s), gzip -9: $gz bytes, makecab/gzip = $(echo "scale=3; $cab / $gz" | bc)"
cabextract -q -t "$work/all.cab" >/dev/null && echo "cabextract -t: OK"
"$WINE" "$(program_path bench/cabbench)" "$work/all.cab" 3
best=999
for i in 1 2 3; do
  s=$(date +%s.%N); cabextract -q -p "$work/all.cab" > /dev/null; e=$(date +%s.%N)
  t=$(echo "$e - $s" | bc); best=$(echo "if ($t < $best) $t else $best" | bc)
done
echo "cabextract: $(echo "scale=1; $total / 1000000 / $best" | bc) MB/s (best of 3, to /dev/null, $best s)"
