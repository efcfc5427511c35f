#!/usr/bin/env bash
# The Preview page on a 256-colour display: a second X server of 8 bits per
# pixel, for the one case of pages_tests that needs it.
set -euo pipefail
display=
for n in $(seq 700 799); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=$n; break; }
done
[ -n "$display" ] || { echo "no free display number"; exit 1; }
Xvfb ":$display" -screen 0 800x600x8 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
for i in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
DISPLAY=":$display" "$LUMETTA_WINE" "$LUMETTA_BUILD/tests/shellext/pages_tests.exe$LUMETTA_PROGRAM_SUFFIX" \
  --gtest_filter='Pages.PaletteDisplay*' | tr -d '\r' | tee /dev/stderr | grep -q '^\[  PASSED  \] 1 test'
