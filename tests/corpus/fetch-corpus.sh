#!/usr/bin/env bash
# Lays out the corpus of tests/corpus/manifest in $LUMETTA_TESTDATA/corpus:
# files taken from Debian packages (apt-get download, kept in
# $LUMETTA_BUILD/corpus-debs between runs), files written on the spot, the
# damaged ones, and beside each NAME its reference decode NAME.rgba.
# Without the packages the corpus cannot be made: that is a failure, loudly.
set -euo pipefail
unset LD_PRELOAD             # the writers need no sanitizer runtime
here=$(cd "$(dirname "$0")" && pwd)
out=$LUMETTA_TESTDATA/corpus
debs=$LUMETTA_BUILD/corpus-debs
rm -rf "$out"
mkdir -p "$out/damaged" "$debs"

# A package at the manifest's version, or the archive's current one when the
# archive has moved on (the checksums still decide).
fetch() { # package version
  local have
  have=$(ls "$debs/$1"_*.deb 2>/dev/null | head -1 || true)
  if [ -n "$have" ]; then echo "$have"; return; fi
  (cd "$debs" && { apt-get download -q "$1=$2" >/dev/null 2>&1 ||
                   apt-get download -q "$1" >/dev/null 2>&1 ||
                   { apt-get update -qq >/dev/null 2>&1 && apt-get download -q "$1" >/dev/null 2>&1; }; }) ||
    { echo "FAIL: apt-get download $1 failed: the corpus needs Debian's archive" >&2; exit 1; }
  ls "$debs/$1"_*.deb | head -1
}

reference() { # name tool
  case "$2" in
    magick)
      local upright=()
      case "$1" in *.tga) upright=(-auto-orient) ;; esac
      convert "$out/$1[0]" "${upright[@]}" -depth 8 rgba:"$out/$1.rgba" ;;
    djpeg) djpeg -dct fast -nosmooth -pnm "$out/$1" | convert - -depth 8 rgba:"$out/$1.rgba" ;;
  esac
}

python3 "$here/make-damaged.py" "$out/damaged"
declare -A extracted=()
count=0
while read -r name tool compare kind rest; do
  case "$name" in ''|'#'*) continue ;; esac
  case "$kind" in
    deb)
      read -r package version path sha <<< "$rest"
      if [ -z "${extracted[$package]:-}" ]; then
        deb=$(fetch "$package" "$version")
        mkdir -p "$debs/$package"
        dpkg-deb -x "$deb" "$debs/$package"
        extracted[$package]=1
      fi
      cp "$debs/$package$path" "$out/$name"
      echo "$sha  $out/$name" | sha256sum -c --quiet - ||
        { echo "FAIL: $name is not the file the manifest names" >&2; exit 1; }
      ;;
    tool)
      (cd "$out" && out="$out/$name" && eval "$rest") 2> "$debs/tool.log" ||
        { cat "$debs/tool.log" >&2; echo "FAIL: could not write $name" >&2; exit 1; }
      ;;
    damaged)
      [ -f "$out/$name" ] || { echo "FAIL: make-damaged.py wrote no $name" >&2; exit 1; }
      ;;
    *) echo "FAIL: unknown origin '$kind' for $name" >&2; exit 1 ;;
  esac
  reference "$name" "$tool"
  count=$((count + 1))
done < "$here/manifest"
for package in "${!extracted[@]}"; do rm -rf "${debs:?}/$package"; done
echo "corpus of $count files ready in $out"
