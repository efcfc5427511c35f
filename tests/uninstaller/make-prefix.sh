#!/usr/bin/env bash
# The uninstaller tests' own Wine prefix, made once per build folder.
set -euo pipefail
bash "$LUMETTA_SOURCE/scripts/make-prefix.sh" "$LUMETTA_WINE" "$WINEPREFIX"
# The user's folders are links to the Unix home folder: made plain folders,
# the prefix is all the tests compare and all they may touch.
for link in "$WINEPREFIX"/drive_c/users/*/*; do
  if [ -L "$link" ]; then
    rm "$link" && mkdir "$link"
  fi
done
