#!/usr/bin/env bash
# The installer's speed, in one run: from its start to the first wizard
# page (extraction and the fade included), from Finish to the control
# panel's page request, and the extraction of its own cabinet by the engine
# beside cabextract.  Runs in the installer tests' prefix with the test
# control panel module beside the installer.
#   BUILD_DIR=build bench/installer.sh [ROUNDS]
source "$(dirname "$0")/../scripts/lib.sh"
rounds=${1:-3}
export WINEPREFIX=$BUILD_DIR/installer-prefix
prepare_prefix
ensure_display
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cp "$BUILD_DIR/installer/Norvane Lumetta Installer.exe" "$BUILD_DIR/tests/installer/DESK.CPL" "$work/"
export LUMETTA_CPL_LOG=$work/cpl.log
driver=$(program_path tools/installdriver/installdriver)
ms() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
for round in $(seq "$rounds"); do
  rm -f "$LUMETTA_CPL_LOG"
  "$WINE" "$driver" wait > /dev/null &
  waiter=$!
  sleep 1   # the waiter's own start is not the installer's
  start=$(date +%s%N)
  "$WINE" "$work/Norvane Lumetta Installer.exe" &
  installer=$!
  wait $waiter
  first=$(ms "$start")
  for _ in 1 2 3; do "$WINE" "$driver" press 1003; sleep 0.3; done
  start=$(date +%s%N)
  "$WINE" "$driver" press 1003
  until grep -q startwparms "$LUMETTA_CPL_LOG" 2>/dev/null; do sleep 0.005; done
  finish=$(ms "$start")
  wait $installer || true
  echo "round $round: start to first page $first ms, Finish to control panel $finish ms"
done
echo "extraction of the installer's own cabinet ($(stat -c %s "$BUILD_DIR/installer/product.cab") bytes):"
"$WINE" "$(program_path bench/cabbench)" "$BUILD_DIR/installer/product.cab" "$rounds" | tr -d '\r'
best=999
for i in $(seq "$rounds"); do
  s=$(date +%s.%N); cabextract -q -p "$BUILD_DIR/installer/product.cab" > /dev/null; e=$(date +%s.%N)
  t=$(echo "$e - $s" | bc); best=$(echo "if ($t < $best) $t else $best" | bc)
done
echo "cabextract: best of $rounds $(echo "$best * 1000 / 1" | bc) ms"
