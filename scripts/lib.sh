# Shared set-up for the scripts: packages, the image libraries for Windows,
# the build, the private Wine prefix and a display.  Source it.
#
# LUMETTA_TARGET chooses the build (default win32):
#   win32  32-bit Windows programs (PE32), the build that ships; in build/
#   win64  64-bit Windows programs (PE32+); in build-win64/
#   asan   64-bit Winelib modules with AddressSanitizer; in build-asan/
# BUILD_DIR overrides the folder.
set -euo pipefail
# Only system folders: nothing a hand-set-up machine added to the PATH.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
# Wine names Unix files in the locale's character set: in a plain "C"
# locale a Windows name outside ASCII cannot reach the disk at all.
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
  export LC_ALL=C.UTF-8
fi

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
LUMETTA_TARGET=${LUMETTA_TARGET:-win32}
case "$LUMETTA_TARGET" in
  win32) TOOLCHAIN=mingw-i686; TRIPLE=i686-w64-mingw32; WINE=/usr/lib/wine/wine
         WINE_ARCH=win32; PROGRAM_SUFFIX=""; default_dir=build ;;
  win64) TOOLCHAIN=mingw-x86_64; TRIPLE=x86_64-w64-mingw32; WINE=/usr/lib/wine/wine64
         WINE_ARCH=win64; PROGRAM_SUFFIX=""; default_dir=build-win64 ;;
  asan)  TOOLCHAIN=winelib; TRIPLE=""; WINE=/usr/lib/wine/wine64
         WINE_ARCH=win64; PROGRAM_SUFFIX=".so"; default_dir=build-asan ;;
  *) echo "unknown LUMETTA_TARGET $LUMETTA_TARGET (win32, win64 or asan)" >&2; exit 2 ;;
esac
BUILD_DIR=${BUILD_DIR:-$ROOT/$default_dir}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
export WINEPREFIX=$BUILD_DIR/wineprefix
export WINEARCH=$WINE_ARCH
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ "$LUMETTA_TARGET" = asan ]; then
  # Wine finds a Winelib DLL's code beside its stand-in only on this path.
  export WINEDLLPATH=$BUILD_DIR/shellext${WINEDLLPATH:+:$WINEDLLPATH}
fi

source "$ROOT/scripts/deps.sh"

# Everything the build, the tests, the demo and the benchmarks use.
PACKAGES=(
  wine64 wine64-tools libwine-dev
  g++ cmake make dpkg-dev nasm googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  libz-mingw-w64-dev
  libjpeg62-turbo-dev libpng-dev libtiff-dev libwebp-dev zlib1g-dev
  imagemagick netpbm libjpeg-turbo-progs libtiff-tools gifsicle libvips-tools webp
  cabextract gcab xvfb x11-apps xdotool python3 bc file libimage-exiftool-perl
  fonts-wqy-microhei   # the shell host draws names in Chinese characters with it
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# A mirror caught mid-sync fails one index for a while: the update is tried
# again, and at worst the install goes on with the lists it could read.
update_package_lists() {
  local i
  for i in 1 2 3; do
    as_root apt-get update -qq && return 0
    sleep $(( i * 15 ))
  done
  echo "apt-get update kept failing; going on with the package lists it could read" >&2
}

ensure_packages() {
  local missing=() p
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    update_package_lists
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >/dev/null
  fi
  ensure_wine32
}

# The 32-bit Wine runs the 32-bit build's tests and the installer's cabinet
# step.  Its packages must match the 64-bit Wine's version, which a mirror
# that lags for i386 cannot give: then the 64-bit work goes on without it
# (wine_runs tells the 32-bit build), rather than nothing being installed.
ensure_wine32() {
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed' && return
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    wine32:i386 >/dev/null ||
    echo "wine32:i386 could not be installed: the 32-bit Windows build's programs cannot run here" >&2
}

# Configures on first use, again after a configuration that failed or was
# interrupted (it leaves no Makefile behind), and when the image libraries
# are taken from another folder.
configure_project() {
  if [ -f "$BUILD_DIR/CMakeCache.txt" ] && [ -f "$BUILD_DIR/Makefile" ] &&
     grep -qxF "LUMETTA_DEPS:UNINITIALIZED=$DEPS_DIR/$TRIPLE" "$BUILD_DIR/CMakeCache.txt"; then
    return 0
  fi
  rm -rf "$BUILD_DIR/CMakeCache.txt" "$BUILD_DIR/CMakeFiles"
  if ! cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$TOOLCHAIN.cmake" \
       -DLUMETTA_DEPS="$DEPS_DIR/$TRIPLE" "$@" > "$BUILD_DIR/configure.log" 2>&1; then
    cat "$BUILD_DIR/configure.log" >&2
    rm -f "$BUILD_DIR/CMakeCache.txt" "$BUILD_DIR/Makefile"
    echo "configuration failed" >&2
    return 1
  fi
}

build_project() {
  [ -z "$TRIPLE" ] || build_dependencies "$TRIPLE"
  mkdir -p "$BUILD_DIR"
  configure_project "$@"
  # The build runs the cabinet maker under Wine for the installer (a machine
  # where this Wine cannot run builds everything but the installer).
  if wine_runs; then prepare_prefix; fi
  local status
  set +e
  cmake --build "$BUILD_DIR" -j"$(nproc)" -- --no-print-directory 2>&1 |
    grep -vE '^\[ *[0-9]+%\]|^Consolidate|^Scanning'
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" -ne 0 ]; then
    echo "build failed" >&2
    return "$status"
  fi
}

# Some machines' kernels run no 32-bit programs (no IA-32 emulation): the
# 32-bit Wine ends there with "Exec format error" before it starts.
wine_runs() {
  "$WINE" --version >/dev/null 2>&1
}

# A private prefix, created once per build folder.
prepare_prefix() {
  LUMETTA_PREFIX_TEMPLATE=$BUILD_DIR/prefix-template \
    bash "$ROOT/scripts/make-prefix.sh" "$WINE" "$WINEPREFIX"
  install_control_panel
}

# Wine has no Display control panel: ours goes where the system keeps its
# own (system32 is the 32-bit folder of a 32-bit prefix), so that DESK.CPL
# and "control desk.cpl" find it.
install_control_panel() {
  local cpl=$BUILD_DIR/tools/desk/desk.cpl
  if [ -f "$cpl" ]; then
    cp -f "$cpl" "$WINEPREFIX/drive_c/windows/system32/desk.cpl"
  fi
}

# The path of a built program, relative to the build folder (without .exe).
program_path() {
  echo "$BUILD_DIR/$1.exe$PROGRAM_SUFFIX"
}

# Builds when the program is missing, then runs it under Wine in the prefix.
run_program() {
  local program
  program=$(program_path "$1"); shift
  [ -f "$program" ] || { ensure_packages; build_project; }
  prepare_prefix
  "$WINE" "$program" "$@"
}

# Windows need a display: use the caller's, or a private Xvfb.  Says why
# and fails when none can be had.
ensure_display() {
  [ -z "${DISPLAY:-}" ] || return 0
  if ! command -v Xvfb >/dev/null; then
    echo "no display: DISPLAY is not set and Xvfb is not installed (apt-get install xvfb)" >&2
    return 1
  fi
  local n=$(( 90 + RANDOM % 400 )) i
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  trap 'kill $XVFB_PID 2>/dev/null || true' EXIT
  # Ready once its socket is there; gone when it could not start.
  for i in $(seq 50); do
    [ -S "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -S "/tmp/.X11-unix/X$n" ]; then
    echo "no display: DISPLAY is not set and Xvfb could not start on :$n" >&2
    return 1
  fi
  export DISPLAY=":$n"
}
