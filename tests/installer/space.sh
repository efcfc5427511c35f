#!/usr/bin/env bash
# Not enough free space, on a drive of 256 KB (a small tmpfs mounted for the
# test, drive S: of the prefix).  As the temporary folder: message 4 before
# anything is extracted.  As the default install folder: Next on the folder
# page shows dialog 113 with both sizes, Continue stays on the page, Quit
# ends the installer with nothing installed and nothing left in the
# temporary folder.  Skipped (77) where mounting is not allowed.
set -euo pipefail
build=$LUMETTA_BUILD
run() { "$LUMETTA_WINE" "$@" | tr -d '\r'; }
driver() { run "$build/tools/installdriver/installdriver.exe" "$@"; }
# A program waited for runs without the pipe: Wine's own processes, started
# by whichever program comes first, hold the pipe for seconds after its end.
launch() { "$LUMETTA_WINE" "$@" >>"$work/wine.log" 2>&1 & }
work=$build/tests/installer/space
shots=$build/tests/installer/screenshots
mkdir -p "$work/small" "$shots"
mount -t tmpfs -o size=256k tmpfs "$work/small" 2>/dev/null || { echo "cannot mount a small drive: skipped"; exit 77; }
key='HKLM\Software\Microsoft\Windows\CurrentVersion'
old=$(run reg query "$key" /v ProgramFilesDir | sed -n 's/.*REG_SZ *//p')
restore() {
  run reg add "$key" /v ProgramFilesDir /d "$old" /f >/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/s:"
  umount "$work/small" || true
}
trap restore EXIT
ln -sfn "$work/small" "$WINEPREFIX/dosdevices/s:"
run reg add "$key" /v ProgramFilesDir /d 'S:\Programs\' /f >/dev/null
fail=0
check() { if ! eval "$1"; then echo "FAIL: $2"; fail=1; else echo "ok: $2"; fi; }
drive_c=$WINEPREFIX/drive_c
temp=$(ls -d "$drive_c"/users/*/Temp "$drive_c"/users/*/AppData/Local/Temp 2>/dev/null | head -1 || true)
required=$(( ($(sed -n 's/.*= \([0-9]*\);/\1/p' "$build/installer/requiredspace.h") + 1023) / 1024 ))

installer=$build/installer/"Norvane Lumetta Installer.exe"

# Wine hides the Unix TEMP: the driver starts the installer with its own.
launch "$build/tools/installdriver/installdriver.exe" start "Z:${installer//\//\\}" 'TEMP=S:\' 'TMP=S:\'
pid=$!
said=$(driver dialog Error 0 20 || true)
import -window root "$shots/dialog-no-temp-space.png" 2>/dev/null || true
driver dialog Error 1 >/dev/null || true
status=0; wait $pid || status=$?
check 'grep -q "does not have enough free hard drive space in its temporary folder" <<<"$said" && [ $status = 0 ]' \
  "a temporary folder of 256 KB: message 4, and the installer ends ($status)"
check '[ -z "$(ls -A "$work/small")" ]' "nothing is extracted there"

launch "$installer"; pid=$!
driver wait
driver press 1003; sleep 0.3; driver press 1003; sleep 0.5
driver press 1003
said=$(driver dialog Error 0 20 || true)
import -window root "$shots/dialog-no-space.png" 2>/dev/null || true
driver dialog Error 2 >/dev/null
sleep 0.5
check 'grep -q "at least ${required}KB of free space. The drive you selected has only 256KB" <<<"$said"' \
  "dialog 113 names ${required}KB needed and 256KB free"
check 'driver buttons | grep -q "^1005 B&rowse... shown=1"' "Continue stays on the folder page"
driver press 1003
driver dialog Error 1 >/dev/null
status=0; wait $pid || status=$?
check '[ $status = 0 ] && [ -z "$(ls -A "$work/small")" ]' "Quit ends the installer and installs nothing"
check '[ ! -e "$temp/Lumetta Setup" ] && [ ! -e "$temp/Lumetta.dll" ]' "Quit leaves no extracted file"
exit $fail
