#!/usr/bin/env bash
# The installer as a person runs it: copied into a download folder, started
# in the installer tests' prefix, driven page by page through its windows to
# Finish; then the Display control panel (the stand-in in the prefix's
# system folder) open at the Lumetta page of the installed library, the
# installation, the removed temporary files and the thumbnails the shell host
# gets through the installed library.  Screenshots of every page and of the
# control panel go to the build folder.
set -euo pipefail
build=$LUMETTA_BUILD
run() { "$LUMETTA_WINE" "$@" | tr -d '\r'; }
driver=$build/tools/installdriver/installdriver.exe
shots=$build/tests/installer/screenshots
download=$build/tests/installer/download
rm -rf "$download"; mkdir -p "$download" "$shots"
cp "$build/installer/Norvane Lumetta Installer.exe" "$download/"
# What anyone may have left in a download folder: a DESK.CPL that writes
# down what it is asked.  The installer takes its modules from the system
# folder, and imports none that the system does not keep there itself.  (A
# planted VERSION.dll cannot be tried under Wine: its own USER32 imports
# VERSION, so with "native first" any program would load it.)
cp "$build/tests/installer/DESK.CPL" "$download/"
export LUMETTA_CPL_LOG=$download/planted.log
imports=$(objdump -p "$download/Norvane Lumetta Installer.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
  tr 'a-z' 'A-Z' | grep -vxE 'KERNEL32.DLL|USER32.DLL|GDI32.DLL|ADVAPI32.DLL|SHELL32.DLL|OLE32.DLL|MSVCRT.DLL' || true)
drive_c=$WINEPREFIX/drive_c
temp=$(ls -d "$drive_c"/users/*/Temp "$drive_c"/users/*/AppData/Local/Temp 2>/dev/null | head -1 || true)
# What an interrupted run may have left would change the road.
rm -rf "$drive_c/Program Files/Norvane Information" "$temp/Lumetta Setup" "$temp/Lumetta.dll" \
  "$temp/Norvane Lumetta Uninstaller.exe"
# No settings either, as on a new machine (settings applied once would make
# the Lumetta page ask about the file types the tests unbound).
printf 'REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\Norvane Information]\n[-HKEY_CURRENT_USER\\Software\\Norvane Information]\n' \
  > "$download/fresh.reg"
"$LUMETTA_WINE" regedit /s "Z:${download//\//\\}\\fresh.reg" >/dev/null 2>&1 || true
fail=0
check() { if ! eval "$1"; then echo "FAIL: $2"; fail=1; else echo "ok: $2"; fi; }
check '[ -z "$imports" ]' "the installer imports only modules the system keeps in its folder ($imports)"
shot() { import -window root "$shots/$1.png" 2>/dev/null || true; }

# Waited for without the pipe: Wine's own processes, started by whichever
# program comes first, hold the pipe for seconds after its end.
"$LUMETTA_WINE" "$download/Norvane Lumetta Installer.exe" >"$download/wine.log" 2>&1 &
pid=$!
run "$driver" wait || { echo "FAIL: no wizard"; kill $pid; exit 1; }
sleep 0.5
expect=(
  "1002 < &Back shown=0 enabled=0|1003 &Next > shown=1 enabled=1|2 Cancel shown=1 enabled=1|1005 B&rowse... shown=0 enabled=0"
  "1002 < &Back shown=1 enabled=1|1003 &Agree shown=1 enabled=1|2 Cancel shown=1 enabled=1|1005 B&rowse... shown=0 enabled=0"
  "1002 < &Back shown=1 enabled=1|1003 &Next > shown=1 enabled=1|2 Cancel shown=1 enabled=1|1005 B&rowse... shown=1 enabled=1"
  "1002 < &Back shown=1 enabled=1|1003 &Finish shown=1 enabled=1|2 Cancel shown=1 enabled=1|1005 B&rowse... shown=0 enabled=0"
)
pages=(welcome licence folder ready)
for i in 0 1 2 3; do
  got=$(run "$driver" buttons | paste -sd '|')
  check '[ "$got" = "${expect[$i]}" ]' "${pages[$i]} page buttons ($got)"
  shot "page-$i-${pages[$i]}"
  if [ $i = 1 ]; then   # Back and forth once
    run "$driver" press 1002; sleep 0.5
    check '[ "$(run "$driver" buttons | sed -n 2p)" = "1003 &Next > shown=1 enabled=1" ]' "Back returns to the welcome page"
    run "$driver" press 1003; sleep 0.5
  fi
  if [ $i = 0 ]; then   # Enter presses the focused button, Next
    check '[ "$(run "$driver" enter)" = 1003 ]' "Next has the focus on the welcome page"
  else
    run "$driver" press 1003
  fi
  sleep 0.7
done
tabs=$(run "$driver" sheet "Display Properties" Lumetta || true)
shot control-panel
run "$driver" sheet "Display Properties" Lumetta close >/dev/null || true
check '[ "$(paste -sd "|" <<<"$tabs")" = "Settings|Lumetta *" ]' \
  "the Display control panel opens at the Lumetta page ($(paste -sd "|" <<<"$tabs"))"
status=0
wait $pid || status=$?
check '[ $status = 0 ]' "the installer ends with 0 ($status)"
check '[ ! -e "$LUMETTA_CPL_LOG" ]' "the DESK.CPL beside the installer was never loaded"
folder='C:\Program Files\Norvane Information\Lumetta'
LUMETTA_INSTALLED=$folder run "$build/tests/installer/installer_tests.exe" --gtest_filter='Installed.*' |
  grep -E '^\[  (PASSED|FAILED|  OK|SKIPPED) |Failure|Expected|Which is|actual' || true
LUMETTA_INSTALLED=$folder run "$build/tests/installer/installer_tests.exe" --gtest_filter='Installed.*' >/dev/null ||
  { echo "FAIL: the installation"; fail=1; }
check '[ ! -e "$temp/Lumetta Setup" ] && [ ! -e "$temp/Lumetta.dll" ]' "the temporary files are gone"

# The shell host, with the library from the install folder only.  The file
# types are bound as the library binds them, to the installed path.
pictures=$build/tests/installer/pictures
rm -rf "$pictures"; mkdir -p "$pictures"
convert -size 100x50 xc:red -fill blue -draw "rectangle 50,0 99,49" -type TrueColor BMP3:"$pictures/wide.bmp"
run "$build/tools/shellhost/shellhost.exe" register "$folder\\System\\Lumetta.dll" >/dev/null
out=$(run "$build/tools/shellhost/shellhost.exe" icon "$pictures/wide.bmp" "$pictures/wide")
check 'grep -q "^index: -2147483648$" <<<"$out"' "a thumbnail icon through the installed library"
exit $fail
