# Shared set-up for the scripts: packages, the build, the private Wine prefix
# and a display.  Source it; it honours BUILD_DIR (default: build).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
WINE64=/usr/lib/wine/wine64
export WINEPREFIX=$BUILD_DIR/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Everything the build, the tests, the demo and the benchmarks use.
PACKAGES=(
  wine64 wine64-tools libwine-dev
  g++ cmake make g++-mingw-w64-i686
  googletest
  libjpeg62-turbo-dev libpng-dev libtiff-dev zlib1g-dev
  imagemagick netpbm libjpeg-turbo-progs libtiff-tools gifsicle libvips-tools
  cabextract gcab xvfb x11-apps python3 bc
)

ensure_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

build_project() {
  local extra=("$@")
  if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    CC=winegcc CXX=wineg++ cmake -S "$ROOT" -B "$BUILD_DIR" "${extra[@]}" >/dev/null
  fi
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

# A private prefix, created once per build folder.
prepare_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$WINE64" wineboot -i >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w || true
  fi
}

# Windows need a display: use the caller's, or a private Xvfb.
ensure_display() {
  if [ -z "${DISPLAY:-}" ]; then
    local n=$(( 90 + RANDOM % 400 ))
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$n"
    trap 'kill $XVFB_PID 2>/dev/null || true' EXIT
    sleep 1
  fi
}
