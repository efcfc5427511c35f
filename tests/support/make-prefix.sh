#!/usr/bin/env bash
# A test's own Wine prefix ($WINEPREFIX), made once per build folder.  A
# crashing program ends at once instead of waiting on Wine's crash dialog.
set -euo pipefail
case "$LUMETTA_WINE" in */wine) export WINEARCH=win32 ;; esac
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  "$LUMETTA_WINE" wineboot -i >/dev/null 2>&1 || true
  "$LUMETTA_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  "$(dirname "$LUMETTA_WINE")/wineserver" -w || true
fi
