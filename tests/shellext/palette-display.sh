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
# A desktop of its own: the prefix's default one may be serving other tests
# on the main display, and goes when this X server does.
out=$(DISPLAY=":$display" "$LUMETTA_WINE" explorer /desktop=LumettaPalette,800x600 \
  "$LUMETTA_BUILD/tests/shellext/pages_tests.exe$LUMETTA_PROGRAM_SUFFIX" --gtest_filter='Pages.PaletteDisplay*' |
  tr -d '\r')
echo "$out"
grep -q '^\[  PASSED  \] 1 test' <<< "$out"
