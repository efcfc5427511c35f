#!/usr/bin/env bash
# Compiles every product source as 32-bit Windows code with MinGW: proves the
# code is plain Win32 and that the records have their 32-bit sizes (the
# static_asserts in imagelib/image.h).
set -euo pipefail
root=${LUMETTA_SOURCE:-$(cd "$(dirname "$0")/.." && pwd)}
cxx=i686-w64-mingw32-g++
command -v $cxx >/dev/null || { echo "missing $cxx (package g++-mingw-w64-i686)"; exit 1; }

# The image libraries' own headers, without the rest of /usr/include.
inc=$(mktemp -d)
trap 'rm -rf "$inc"' EXIT
for h in png.h pngconf.h pnglibconf.h zlib.h zconf.h jpeglib.h jmorecfg.h jerror.h; do
  [ -f /usr/include/$h ] && ln -s /usr/include/$h "$inc/$h"
done
# Debian keeps libtiff's headers in the multiarch folder.
for h in jconfig.h tiffconf.h tiff.h tiffio.h tiffvers.h; do
  f=$(ls /usr/include/*/$h /usr/include/$h 2>/dev/null | head -n1 || true)
  [ -n "$f" ] && ln -s "$f" "$inc/$h"
done

failed=0 count=0
for f in $(cd "$root" && ls imagelib/*.cpp shellext/*.cpp installer/*.cpp uninstaller/*.cpp 2>/dev/null); do
  count=$((count + 1))
  if ! $cxx -std=c++17 -fsyntax-only -Wall -I"$root/imagelib" -I"$root/shellext" \
        -I"$root/installer" -I"$inc" "$root/$f"; then
    echo "FAILED: $f"
    failed=1
  fi
done
echo "checked $count sources for 32-bit Windows"
exit $failed
