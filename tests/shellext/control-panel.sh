#!/usr/bin/env bash
# The Display control panel under Wine: opened as the installer opens it
# (shellhost control-panel: DESK.CPL, CPlApplet, "@Lumetta") and as a person
# types it (rundll32 shell32.dll,Control_RunDLL ...).  A sheet open at the
# Lumetta page shows the product's logo in its dark slate.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "no display: skipped"; exit 0; }
out=$(mktemp -d); trap 'rm -rf "$out"' EXIT
# Where the set-up installs it.
cp -f "$LUMETTA_BUILD/tools/desk/desk.cpl" "$WINEPREFIX/drive_c/windows/system32/desk.cpl"
host() { "$LUMETTA_WINE" "$LUMETTA_BUILD/tools/shellhost/shellhost.exe$LUMETTA_PROGRAM_SUFFIX" "$@" | tr -d '\r'; }
fail=0
name_pixels() {
  convert "$1" -fill black +opaque '#1f2b39' -fill white -opaque '#1f2b39' -format '%[fx:int(mean*w*h)]' info:
}

host control-panel "$out/panel.png" > "$out/panel.txt" || { echo "FAIL control-panel"; cat "$out/panel.txt"; fail=1; }
grep -q '^sheet: shown$' "$out/panel.txt" || { echo "FAIL: no sheet"; fail=1; }
if [ -f "$out/panel.png" ]; then
  n=$(name_pixels "$out/panel.png")
  [ "$n" -gt 100 ] && echo "ok control-panel: Lumetta page ($n name pixels)" ||
    { echo "FAIL control-panel: not at the Lumetta page ($n)"; fail=1; }
fi

# Without a display set, scripts/shellhost starts one of its own and draws
# the panel there.
target=win32
case "$LUMETTA_WINE" in */wine64) target=win64 ;; esac
env -u DISPLAY LUMETTA_TARGET=$target BUILD_DIR="$LUMETTA_BUILD" \
  bash "$LUMETTA_SOURCE/scripts/shellhost" control-panel "$out/own.png" 2>&1 | tr -d '\r' > "$out/own.txt" || true
if grep -q '^sheet: shown$' "$out/own.txt" && [ -f "$out/own.png" ]; then
  echo "ok scripts/shellhost control-panel without a display: drawn on its own"
else
  echo "FAIL scripts/shellhost control-panel without a display:"; cat "$out/own.txt"; fail=1
fi

# run_dll PAGE ARGUMENTS... : opens the panel, takes the screen, closes the
# panel (from inside Wine: a key sent through X reaches only the window that
# has the focus) once it shows PAGE.
run_dll() {
  local pid w="" i page=$1; shift
  "$LUMETTA_WINE" rundll32 shell32.dll,Control_RunDLL "$@" >/dev/null 2>&1 &
  pid=$!
  for i in $(seq 1 160); do
    w=$(xdotool search --onlyvisible --name '^Display Properties$' 2>/dev/null | head -1 || true)
    [ -n "$w" ] && break
    sleep 0.25
  done
  sleep 1.5
  rm -f "$out/screen.png"
  import -window root "$out/screen.png"
  # Only the panel's own area: the page tests' windows may be elsewhere.
  local X="" Y="" WIDTH="" HEIGHT="" SCREEN="" WINDOW=""
  [ -z "$w" ] || eval "$(xdotool getwindowgeometry --shell "$w" 2>/dev/null || true)"
  if [ -n "$WIDTH" ] && [ -n "$HEIGHT" ] && [ -n "$X" ] && [ -n "$Y" ]; then
    mogrify -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out/screen.png"
  fi
  # A panel left open would keep the prefix's wineserver, and with it this
  # test's output, alive: asked again, then ended.
  local attempt
  for attempt in 1 2 3; do
    "$LUMETTA_WINE" "$LUMETTA_BUILD/tools/installdriver/installdriver.exe$LUMETTA_PROGRAM_SUFFIX" \
      sheet "Display Properties" "$page" close >/dev/null 2>&1 || true
    for i in $(seq 1 20); do kill -0 "$pid" 2>/dev/null || break; sleep 0.25; done
    kill -0 "$pid" 2>/dev/null || break
  done
  if kill -0 "$pid" 2>/dev/null; then
    "$LUMETTA_WINE" taskkill /f /im rundll32.exe >/dev/null 2>&1 || true
    kill "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
  [ -n "$w" ]
}

if run_dll Lumetta desk.cpl,,Lumetta; then
  n=$(name_pixels "$out/screen.png")
  [ "$n" -gt 100 ] && echo "ok desk.cpl,,Lumetta: Lumetta page" ||
    { echo "FAIL desk.cpl,,Lumetta: another page ($n)"; fail=1; }
else
  echo "FAIL desk.cpl,,Lumetta: no sheet"; fail=1
fi
# Wine takes "@Lumetta" for an applet number: the sheet opens at its first page.
if run_dll Settings desk.cpl @0,@Lumetta; then
  n=$(name_pixels "$out/screen.png")
  [ "$n" -eq 0 ] && echo "ok desk.cpl @0,@Lumetta: first page" ||
    { echo "FAIL desk.cpl @0,@Lumetta: expected the first page ($n)"; fail=1; }
else
  echo "FAIL desk.cpl @0,@Lumetta: no sheet (windows: $(xdotool search --name . getwindowname %@ 2>/dev/null | tr '\n' '|'))"; fail=1
fi
exit $fail
