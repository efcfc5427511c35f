#!/usr/bin/env bash
# The installer's other roads, driven through its windows: cancelling (No
# keeps it running, Yes ends it with nothing installed), a "Lumetta Setup"
# folder left by an earlier run, a damaged cabinet, and an installation over
# a library in use that ends with the restart offer instead of the control
# panel.  Every road must leave no extracted file behind.  Screenshots of the
# dialogs go to the build folder.
set -euo pipefail
build=$LUMETTA_BUILD
run() { "$LUMETTA_WINE" "$@" | tr -d '\r'; }
driver() { run "$build/tools/installdriver/installdriver.exe" "$@"; }
shots=$build/tests/installer/screenshots
work=$build/tests/installer/roads
rm -rf "$work"; mkdir -p "$work" "$shots"
cp "$build/installer/Norvane Lumetta Installer.exe" "$build/tests/installer/DESK.CPL" "$work/"
installer=$work/"Norvane Lumetta Installer.exe"
export LUMETTA_CPL_LOG=$work/cpl.log
drive_c=$WINEPREFIX/drive_c
temp=$(ls -d "$drive_c"/users/*/Temp "$drive_c"/users/*/AppData/Local/Temp 2>/dev/null | head -1 || true)
fail=0
check() { if ! eval "$1"; then echo "FAIL: $2"; fail=1; else echo "ok: $2"; fi; }
shot() { import -window root "$shots/$1.png" 2>/dev/null || true; }
no_leftovers() {
  check '[ ! -e "$temp/Lumetta.dll" ] && [ ! -e "$temp/Norvane Lumetta Uninstaller.exe" ] &&
         [ ! -e "$temp/Lumetta Setup/Lumetta.dll" ]' "$1: no extracted file left"
}

# Cancel: No, then Yes.
rm -rf "$drive_c/Program Files/Norvane Information"
run "$installer" & pid=$!
driver wait
driver press 1003; sleep 0.5
driver press 2
said=$(driver dialog "Cancel Install" 0 10 || true)
shot dialog-cancel
driver dialog "Cancel Install" 7 >/dev/null
sleep 0.5
check 'driver buttons | grep -q "^1003 &Agree"' "No keeps the installer on its page"
driver press 2
driver dialog "Cancel Install" 6 >/dev/null
status=0; wait $pid || status=$?
check 'grep -q "If you cancel installation now" <<<"$said" && [ $status = 0 ]' "Yes ends the installer ($status)"
check '[ ! -e "$drive_c/Program Files/Norvane Information" ] && [ ! -e "$LUMETTA_CPL_LOG" ]' \
  "cancelling installs nothing and opens no control panel"
check '[ ! -e "$temp/Lumetta Setup" ]' "cancelling removes the Lumetta Setup folder"
no_leftovers cancel

# A Lumetta Setup folder from an earlier run stays, with what it holds.
mkdir -p "$temp/Lumetta Setup"; echo mine > "$temp/Lumetta Setup/keep.txt"
run "$installer" & pid=$!
driver wait
check '[ -e "$temp/Lumetta.dll" ] && [ ! -e "$temp/Lumetta Setup/Lumetta.dll" ]' \
  "with Lumetta Setup already there, the files go into the temporary folder itself"
driver press 2; driver dialog "Cancel Install" 6 >/dev/null
wait $pid || true
check '[ "$(cat "$temp/Lumetta Setup/keep.txt")" = mine ]' "the earlier folder is left alone"
no_leftovers "earlier folder"
rm -rf "$temp/Lumetta Setup"

# A damaged cabinet: one byte of compressed data changed.
python3 - "$installer" "$work/damaged.exe" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.index(b'MSCF\0\0\0\0')
data[at + 4096] ^= 0x55
open(sys.argv[2], 'wb').write(data)
PY
run "$work/damaged.exe" & pid=$!
said=$(driver dialog Error 0 20 || true)
shot dialog-damaged-cabinet
driver dialog Error 1 >/dev/null || true
wait $pid || true
check 'grep -q "unable to extract the files" <<<"$said"' "a damaged cabinet shows message 5"
no_leftovers "damaged cabinet"
check '[ ! -e "$temp/Lumetta Setup" ]' "a damaged cabinet leaves no Lumetta Setup folder"

# Over a library in use: the restart offer, no control panel.
folder="$drive_c/Program Files/Norvane Information/Lumetta"
mkdir -p "$folder/System"
cp "$build/shellext/Lumetta.dll" "$folder/System/Lumetta.dll"
driver hold 'C:\Program Files\Norvane Information\Lumetta\System\Lumetta.dll' 40 > "$work/hold.txt" & holder=$!
for _ in $(seq 50); do grep -q holding "$work/hold.txt" 2>/dev/null && break; sleep 0.2; done
rm -f "$LUMETTA_CPL_LOG"
run "$installer" & pid=$!
driver wait
for _ in 1 2 3 4; do driver press 1003; sleep 0.5; done
said=$(driver dialog "Restart Computer" 0 30 || true)
shot dialog-restart
driver dialog "Restart Computer" 2 >/dev/null || true
status=0; wait $pid || status=$?
kill $holder 2>/dev/null || true; wait $holder 2>/dev/null || true
check 'grep -q "In order to finish installation" <<<"$said" && [ $status = 0 ]' "the restart is offered and Later ends the installer"
check '[ ! -e "$LUMETTA_CPL_LOG" ]' "no control panel after the restart offer"
check 'ls "$folder/System"/temp????.dll >/dev/null 2>&1' "the new library waits beside the old one"
pending=$(run reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null || true)
check 'grep -qi "lumetta" <<<"$pending"' "the moves are scheduled"
run reg delete 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations /f >/dev/null 2>&1 || true
rm -f "$folder/System"/temp????.dll
no_leftovers "restart"
exit $fail
