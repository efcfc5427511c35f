#!/usr/bin/env bash
# scripts/uninstall on an installation laid out by hand: it drives the
# dialog to its end and leaves neither the install folder nor the classes.
set -euo pipefail
case "$LUMETTA_WINE" in */wine64) export LUMETTA_TARGET=win64 ;; esac
export BUILD_DIR=$LUMETTA_BUILD
LUMETTA_LAY_OUT_INSTALLATION=1 "$LUMETTA_WINE" \
  "$LUMETTA_BUILD/tests/uninstaller/uninstaller_tests.exe$LUMETTA_PROGRAM_SUFFIX" \
  --gtest_filter=ScriptSupport.* > /dev/null
out=$("$LUMETTA_SOURCE/scripts/uninstall" "$WINEPREFIX")
echo "$out"
fail=0
grep -q '^result: Lumetta has now been removed from your computer' <<<"$out" || { echo "FAIL: result"; fail=1; }
folder="$WINEPREFIX/drive_c/Program Files/Norvane Information"
[ ! -e "$folder" ] || { echo "FAIL: $folder is still there"; fail=1; }
if "$LUMETTA_WINE" reg query 'HKCR\CLSID\{4f7a2c10-6b3e-4d85-9a1c-72e5b0d3f861}' >/dev/null 2>&1; then
  echo "FAIL: the control panel class is still registered"; fail=1
fi
exit $fail
