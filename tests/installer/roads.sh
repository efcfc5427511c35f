#!/usr/bin/env bash
# The installer's other roads, driven through its windows: the folder
# browser and a folder that cannot be made, cancelling (No keeps it running,
# Yes ends it with nothing installed), a "Lumetta Setup" folder left by an
# earlier run, a damaged cabinet, and an installation over a library in use
# that ends with the restart offer instead of the control panel.  Every road must leave no extracted file behind.  Screenshots of the
# dialogs go to the build folder.
set -euo pipefail
build=$LUMETTA_BUILD
run() { "$LUMETTA_WINE" "$@" | tr -d '\r'; }
driver() { run "$build/tools/installdriver/installdriver.exe" "$@"; }
# A program waited for runs without the pipe: Wine's own processes, started
# by whichever program comes first, hold the pipe for seconds after its end.
launch() { "$LUMETTA_WINE" "$@" >>"$work/wine.log" 2>&1 & }
shots=$build/tests/installer/screenshots
work=$build/tests/installer/roads
rm -rf "$work"; mkdir -p "$work" "$shots"
cp "$build/installer/Norvane Lumetta Installer.exe" "$work/"
installer=$work/"Norvane Lumetta Installer.exe"
# The Display control panel that writes down what it is asked, in the
# system folder, where the installer looks for it; the prefix's own is put
# back at the end.
export LUMETTA_CPL_LOG=$work/cpl.log
drive_c=$WINEPREFIX/drive_c
cp -f "$build/tests/installer/DESK.CPL" "$drive_c/windows/system32/desk.cpl"
restore() {
  cp -f "$build/tools/desk/desk.cpl" "$drive_c/windows/system32/desk.cpl"
  driver drive r cdrom >/dev/null 2>&1 || true
}
trap restore EXIT
temp=$(ls -d "$drive_c"/users/*/Temp "$drive_c"/users/*/AppData/Local/Temp 2>/dev/null | head -1 || true)
# What an interrupted run may have left would change the roads.
rm -rf "$temp/Lumetta Setup" "$temp/Lumetta.dll" "$temp/Norvane Lumetta Uninstaller.exe"
fail=0
check() { if ! eval "$1"; then echo "FAIL: $2"; fail=1; else echo "ok: $2"; fi; }
shot() { import -window root "$shots/$1.png" 2>/dev/null || true; }
no_leftovers() {
  check '[ ! -e "$temp/Lumetta.dll" ] && [ ! -e "$temp/Norvane Lumetta Uninstaller.exe" ] &&
         [ ! -e "$temp/Lumetta Setup/Lumetta.dll" ]' "$1: no extracted file left"
}

# The folder browser, driven in its tree: it opens at the deepest existing
# folder of the default, and each selection shows the install folder the
# rule makes in its status line.  A CD-ROM drive (R:, made one through
# Wine's mount manager) and a folder too deep for the product's files
# disable OK.  OK takes a folder that cannot be made (a file has its name):
# Cancel and No keep the installer on its page, and Finish ends with
# message 10, nothing installed, no control panel.
rm -rf "$drive_c/Program Files/Norvane Information" "$drive_c/lumetta roads"
# Wine's browser finds a folder by its last access time too: the first look
# into a folder just changed would change that time under it.
ls "$drive_c/Program Files" >/dev/null
places="$drive_c/lumetta roads"
mkdir -p "$places/Apps/Norvane Information" "$places/Tools/Lumetta" "$places/blocked" "$work/cdrom/DISC"
echo file > "$places/blocked/Norvane Information"
f49=$(printf 'f%.0s' {1..49})
deep='C:\lumetta roads'"\\$f49\\$f49\\$f49\\$(printf 'g%.0s' {1..25})"   # 192 characters
deeper=${deep}h
for d in "$deep" "$deeper"; do d=${d:3}; mkdir -p "$drive_c/${d//\\//}"; done
driver drive r cdrom "$work/cdrom" || echo "FAIL: no CD-ROM drive"
launch "$installer"; pid=$!
driver wait
driver press 1003; sleep 0.3; driver press 1003; sleep 0.5
driver press 1005
said=$(driver browser 'C:' 'C:\lumetta roads\Apps\Norvane Information' 'C:\lumetta roads\Tools\Lumetta' \
  "$deeper" "$deep" || true)
shot browser-deep
said+=$'\n'$(driver browser 'R:' || true)
shot browser-cdrom
said+=$'\n'$(driver browser 'C:\lumetta roads\blocked' ok || true)
echo "$said"
has() { grep -Fxq "$1" <<<"$said"; }
check 'has "title: Please select the folder in which you would like to install Lumetta:"' "the browser's title"
check 'grep -q "^selected: .*C:.*\\\\Program Files$" <<<"$said" &&
       has "status: C:\\Program Files\\Norvane Information\\Lumetta"' "it opens at C:\\Program Files"
check 'has "C: | C:\\Norvane Information\\Lumetta | ok=1"' "the root of C: gets the whole subpath"
check 'has "R: |  | ok=0"' "a CD-ROM drive disables OK and empties the status line"
check 'has "C:\\lumetta roads\\Apps\\Norvane Information | C:\\lumetta roads\\Apps\\Norvane Information\\Lumetta | ok=1"' \
  "Norvane Information gets Lumetta"
check 'has "C:\\lumetta roads\\Tools\\Lumetta | C:\\lumetta roads\\Tools\\Lumetta | ok=1"' "Lumetta stays"
check 'has "$deep | $deep\\Norvane Information\\Lumetta | ok=1"' "a folder at the limit is taken (220 characters)"
check 'has "$deeper |  | ok=0"' "a folder one character deeper is refused"
check 'has "C:\\lumetta roads\\blocked | C:\\lumetta roads\\blocked\\Norvane Information\\Lumetta | ok=1"' \
  "the blocked folder is offered"
sleep 0.5
driver press 2
said=$(driver dialog "Cancel Install" 7 10 || true)
sleep 0.5
check 'grep -q "If you cancel installation now" <<<"$said"' "Cancel asks message 7"
check 'driver buttons | grep -q "^1005 B&rowse... shown=1"' "No keeps the installer on its page"
driver press 1003; sleep 0.5; driver press 1003
said=$(driver dialog Lumetta.dll 0 30 || true)
shot dialog-file-failed
# While a message of the installation waits, the button bar is off and the
# box belongs to the window: neither a second Finish nor Cancel, even sent
# by a program, reaches the wizard.
check '! driver buttons | grep -q "enabled=1"' "the button bar is off during the installation"
check 'grep -qx "owner: Lumetta Installer" <<<"$said"' "message 10 is owned by the installer's window"
driver press 1003 force; driver press 2 force; sleep 1
check '[ "$(driver count Lumetta.dll)" = 1 ] && [ "$(driver count "Cancel Install")" = 0 ]' \
  "a second Finish and Cancel do nothing"
driver dialog Lumetta.dll 1 >/dev/null || true
status=0; wait $pid || status=$?
check 'grep -q "unable to install this file on your computer" <<<"$said" && [ $status = 0 ]' \
  "a folder that cannot be made: message 10, and the installer ends ($status)"
check '[ "$(cat "$places/blocked/Norvane Information")" = file ] && [ ! -e "$LUMETTA_CPL_LOG" ]' \
  "nothing installed and no control panel"
check '[ ! -e "$temp/Lumetta Setup" ]' "the Lumetta Setup folder is removed"
no_leftovers browser
rm -rf "$places"

# A Lumetta Setup folder from an earlier run stays, with what it holds.
mkdir -p "$temp/Lumetta Setup"; echo mine > "$temp/Lumetta Setup/keep.txt"
launch "$installer"; pid=$!
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
launch "$work/damaged.exe"; pid=$!
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
"$LUMETTA_WINE" "$build/tools/installdriver/installdriver.exe" hold \
  'C:\Program Files\Norvane Information\Lumetta\System\Lumetta.dll' 60 > "$work/hold.txt" 2>&1 & holder=$!
for _ in $(seq 50); do grep -q holding "$work/hold.txt" 2>/dev/null && break; sleep 0.1; done
rm -f "$LUMETTA_CPL_LOG"
launch "$installer"; pid=$!
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
