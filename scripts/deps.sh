# The image libraries for Windows, cross-built from Debian's own source
# packages and installed as static libraries under $DEPS_DIR/TRIPLE.  Sourced
# by lib.sh.  A set is rebuilt only when a source version or this recipe
# changes (the stamp file holds both).
DEPS_DIR=${DEPS_DIR:-$ROOT/build/deps}
DEPS_SOURCES=(libjpeg-turbo libpng1.6 tiff libdeflate libwebp)

# Debian's source packages need a deb-src line for the suites already used.
ensure_source_lists() {
  local f=/etc/apt/sources.list.d/debian.sources
  # grep reads to the end: under pipefail an early exit would fail the list.
  if apt-cache showsrc libpng1.6 2>/dev/null | grep '^Version:' >/dev/null; then
    return
  fi
  if [ -f "$f" ] && ! grep -q 'deb-src' "$f"; then
    as_root sed -i 's/^Types: deb$/Types: deb deb-src/' "$f"
  elif [ -f /etc/apt/sources.list ]; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      as_root tee /etc/apt/sources.list.d/lumetta-src.list >/dev/null
  fi
  update_package_lists
}

# Newest version first; a mirror may list a security update's source that it
# does not serve, so older versions are tried after it.
source_versions() {
  apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -r -V -u
}

fetch_source() {
  local pkg=$1 dir=$DEPS_DIR/src v
  mkdir -p "$dir"
  for v in $(source_versions "$pkg"); do
    if [ -f "$dir/$pkg.version" ] && [ "$(cat "$dir/$pkg.version")" = "$v" ]; then
      return 0
    fi
    rm -rf "$dir/$pkg.tmp" && mkdir -p "$dir/$pkg.tmp"
    if (cd "$dir/$pkg.tmp" && apt-get source -qq "$pkg=$v" >/dev/null 2>&1); then
      rm -rf "$dir/$pkg"
      mv "$(find "$dir/$pkg.tmp" -mindepth 1 -maxdepth 1 -type d | head -n1)" "$dir/$pkg"
      rm -rf "$dir/$pkg.tmp"
      echo "$v" > "$dir/$pkg.version"
      return 0
    fi
  done
  echo "could not fetch the source of $pkg" >&2
  return 1
}

deps_cmake() {
  local name=$1 triple=$2 src=$3; shift 3
  local prefix=$DEPS_DIR/$triple work=$DEPS_DIR/work/$triple/$name
  rm -rf "$work" && mkdir -p "$work"
  cmake -S "$src" -B "$work" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-${triple%%-*}.cmake" \
    -DLUMETTA_DEPS="$prefix" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_PREFIX_PATH="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >"$work.log" 2>&1 &&
  cmake --build "$work" -j"$(nproc)" >>"$work.log" 2>&1 &&
  cmake --install "$work" >>"$work.log" 2>&1 || {
    echo "building $name for $triple failed; see $work.log" >&2
    tail -n 20 "$work.log" >&2
    return 1
  }
}

# libdeflate (libtiff's Deflate codec) has only a Makefile that builds
# a DLL on Windows: its library sources are compiled and archived here.
deps_libdeflate() {
  local triple=$1 src=$2 prefix=$DEPS_DIR/$1 work=$DEPS_DIR/work/$1/libdeflate f
  rm -rf "$work" && mkdir -p "$work"
  local cc=/usr/bin/$triple-gcc-posix flags=(-O2 -DNDEBUG -I"$src")
  [ "${triple%%-*}" = i686 ] && flags+=(-msse2 -mfpmath=sse)
  for f in "$src"/lib/*.c "$src"/lib/x86/*.c; do
    "$cc" "${flags[@]}" -c "$f" -o "$work/$(basename "$(dirname "$f")")-$(basename "$f" .c).o" ||
      { echo "building libdeflate for $triple failed" >&2; return 1; }
  done
  /usr/bin/$triple-ar rcs "$prefix/lib/libdeflate.a" "$work"/*.o
  cp "$src/libdeflate.h" "$prefix/include/"
}

build_dependencies() {
  local triple=$1 prefix=$DEPS_DIR/$1 pkg stamp
  ensure_source_lists
  for pkg in "${DEPS_SOURCES[@]}"; do fetch_source "$pkg"; done
  stamp=$( (for pkg in "${DEPS_SOURCES[@]}"; do cat "$DEPS_DIR/src/$pkg.version"; done
            cat "$ROOT/scripts/deps.sh" "$ROOT/cmake/mingw.cmake" "$ROOT/cmake/mingw-${triple%%-*}.cmake") |
          md5sum | cut -d' ' -f1)
  if [ -f "$prefix/stamp" ] && [ "$(cat "$prefix/stamp")" = "$stamp" ]; then
    return 0
  fi
  echo "building the image libraries for $triple"
  rm -rf "$prefix" && mkdir -p "$prefix/lib" "$prefix/include"
  local zlib=/usr/$triple/lib/libz.a zinc=/usr/$triple/include
  local src=$DEPS_DIR/src
  deps_cmake libjpeg-turbo "$triple" "$src/libjpeg-turbo" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=ON -DREQUIRE_SIMD=ON \
    -DWITH_JPEG8=OFF
  deps_libdeflate "$triple" "$src/libdeflate"
  # libpng's filters in SSE2: its test of the processor misses i686.
  sed -i 's/MATCHES "\^i?86"/MATCHES "^i[3-6]?86"/' "$src/libpng1.6/CMakeLists.txt"
  deps_cmake libpng "$triple" "$src/libpng1.6" -DPNG_INTEL_SSE=on \
    -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
    -DZLIB_LIBRARY="$zlib" -DZLIB_INCLUDE_DIR="$zinc" -DCMAKE_INSTALL_LIBDIR=lib
  # Only the codecs the decoder names: Deflate (through libdeflate, a strip
  # at once), JPEG (new and old style), LZW, PackBits and the fax schemes.
  deps_cmake libtiff "$triple" "$src/tiff" \
    -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dtiff-deprecated=OFF \
    -Dcxx=OFF -Dzlib=ON -Djpeg=ON -Dold-jpeg=ON -Djpeg12=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF \
    -Djbig=OFF -Dlerc=OFF -Dlibdeflate=ON -Dpixarlog=OFF -Dlzw=ON -Dpackbits=ON -Dccitt=ON \
    -Dthunder=OFF -Dnext=OFF -Dlogluv=OFF -Dmdi=OFF \
    -DZLIB_LIBRARY="$zlib" -DZLIB_INCLUDE_DIR="$zinc" \
    -DDeflate_LIBRARY="$prefix/lib/libdeflate.a" -DDeflate_INCLUDE_DIR="$prefix/include" \
    -DJPEG_LIBRARY="$prefix/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="$prefix/include" \
    -DCMAKE_INSTALL_LIBDIR=lib
  # The decoder, the demuxer and its animation decoder; no tools.  Threads
  # (Windows' own): a large lossy picture is parsed on one processor while
  # the other reconstructs, filters and scales its rows.
  deps_cmake libwebp "$triple" "$src/libwebp" \
    -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF \
    -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF \
    -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_LIBWEBPMUX=OFF -DWEBP_BUILD_WEBPMUX=OFF \
    -DWEBP_BUILD_EXTRAS=OFF -DWEBP_USE_THREAD=ON -DCMAKE_INSTALL_LIBDIR=lib
  echo "$stamp" > "$prefix/stamp"
}
