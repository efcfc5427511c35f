#!/usr/bin/env bash
# The installer tests' own Wine prefix, made once.
set -euo pipefail
export WINEPREFIX=$1
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  WINEARCH=win32 "$LUMETTA_WINE" wineboot -i >/dev/null 2>&1 || true
  "$LUMETTA_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  /usr/lib/wine/wineserver -w || true
fi
