#!/usr/bin/env bash
# The installer tests' own Wine prefix, made once.  Its windows are not left
# to a window manager: there is none under Xvfb, and Wine would wait two
# seconds for one at every window it hides.  The Display control panel
# stand-in goes where the system keeps its own, as on a person's prefix.
set -euo pipefail
export WINEPREFIX=$1
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  WINEARCH=win32 "$LUMETTA_WINE" wineboot -i >/dev/null 2>&1 || true
  "$LUMETTA_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  "$LUMETTA_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  /usr/lib/wine/wineserver -w || true
fi
# A prefix made before the setting.
if ! grep -q '^"Managed"="N"' "$WINEPREFIX/user.reg"; then
  "$LUMETTA_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  /usr/lib/wine/wineserver -w || true
fi
cp -f "$LUMETTA_BUILD/tools/desk/desk.cpl" "$WINEPREFIX/drive_c/windows/system32/desk.cpl"
