#!/usr/bin/env bash
# The uninstaller tests' own Wine prefix, made once per build folder.
set -euo pipefail
case "$LUMETTA_WINE" in */wine) export WINEARCH=win32 ;; esac
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  "$LUMETTA_WINE" wineboot -i >/dev/null 2>&1 || true
  "$LUMETTA_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  "$(dirname "$LUMETTA_WINE")/wineserver" -w || true
fi
# The user's folders are links to the Unix home folder: made plain folders,
# the prefix is all the tests compare and all they may touch.
for link in "$WINEPREFIX"/drive_c/users/*/*; do
  if [ -L "$link" ]; then
    rm "$link" && mkdir "$link"
  fi
done
