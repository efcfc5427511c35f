#!/usr/bin/env bash
# The installer tests' own Wine prefix, made once.  The Display control panel
# stand-in goes where the system keeps its own, as on a person's prefix.
set -euo pipefail
export WINEPREFIX=$1
bash "$LUMETTA_SOURCE/scripts/make-prefix.sh" "$LUMETTA_WINE" "$WINEPREFIX"
cp -f "$LUMETTA_BUILD/tools/desk/desk.cpl" "$WINEPREFIX/drive_c/windows/system32/desk.cpl"
