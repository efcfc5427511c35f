#!/usr/bin/env bash
# A Wine prefix as Lumetta's scripts and tests use one, made once: a crashing
# program ends at once instead of waiting on Wine's crash dialog, and windows
# are not left to a window manager (there is none under Xvfb, and Wine would
# wait two seconds for one at every window it hides; Wine draws the captions
# itself instead).  Settings missing from an older prefix are added.
# Wine's set-up of a new prefix takes some 15 seconds: where
# LUMETTA_PREFIX_TEMPLATE names a folder, the first prefix is made there and
# each new one is a copy of it, made in a second.
#   make-prefix.sh WINE PREFIX
set -euo pipefail
wine=$1
export WINEPREFIX=$2
case "$wine" in */wine) export WINEARCH=win32 ;; esac
template=${LUMETTA_PREFIX_TEMPLATE:-}
if [ ! -f "$WINEPREFIX/system.reg" ] && [ -n "$template" ] && [ "$template" != "$WINEPREFIX" ]; then
  # Tests that each want a prefix start together: one makes the template.
  mkdir -p "$(dirname "$template")"
  LUMETTA_PREFIX_TEMPLATE= flock "$template.lock" bash "$0" "$wine" "$template"
  rm -rf "$WINEPREFIX"
  cp -a "$template" "$WINEPREFIX"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1 || true
fi
changed=0
setting() {  # KEY NAME TYPE DATA LINE-IN-USER.REG
  grep -qxF "$5" "$WINEPREFIX/user.reg" 2>/dev/null && return
  "$wine" reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1
  changed=1
}
setting 'HKCU\Software\Wine\WineDbg' ShowCrashDialog REG_DWORD 0 '"ShowCrashDialog"=dword:00000000'
setting 'HKCU\Software\Wine\X11 Driver' Managed REG_SZ N '"Managed"="N"'
[ "$changed" = 0 ] || "$(dirname "$wine")/wineserver" -w || true
