#!/usr/bin/env bash
# Lumetta's whole life in the uninstaller tests' prefix, through the real
# programs: scripts/install runs the installer to its end (the Display
# control panel it opens binds the file types and writes the settings),
# scripts/uninstall runs the installed uninstaller from its shortcut.  The
# registry exported before installing and after uninstalling, and the
# prefix's file tree, must be the same; the product's traces are looked for
# by name as well, one line each.
set -euo pipefail
export BUILD_DIR=$LUMETTA_BUILD
wine=$LUMETTA_WINE
work=$LUMETTA_BUILD/tests/uninstaller/whole-life
rm -rf "$work"; mkdir -p "$work"
drive_c=$WINEPREFIX/drive_c
folder="$drive_c/Program Files/Norvane Information"
fail=0
check() { if eval "$1"; then echo "ok: $2"; else echo "FAIL: $2"; fail=1; fi; }

# The registry as the Wine server writes it out once every program has
# ended (system.reg and user.reg, names escaped): one line a value,
# "[root\\key] name=data", continued data joined, times left out.
export_registry() {
  timeout 120 /usr/lib/wine/wineserver -w || { echo "FAIL: a program still runs in $WINEPREFIX" >&2; exit 1; }
  local file
  for file in system user; do
    awk -v root="$file" '
      /^(#|;;|WINE REGISTRY)/ { next }
      /\\$/ { sub(/^ +/, ""); pending = pending substr($0, 1, length($0) - 1); next }
      { sub(/^ +/, ""); line = pending $0; pending = "" }
      line ~ /^\[/ { sub(/\] [0-9]+$/, "]", line); key = "[" root "\\\\" substr(line, 2); print key; next }
      line == "" { next }
      { print key " " line }' "$WINEPREFIX/$file.reg"
  done | LC_ALL=C sort
}

list_files() {
  (cd "$drive_c" && find . -printf '%y %p\n' | LC_ALL=C sort)
}

# What Wine itself rewrites while programs run: its own settings, the
# shell's window places and caches, and the display's driver and device
# entries (made anew for each X display).
noise='\[(system|user)\\\\(Software\\\\Wine|Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer|Software\\\\Classes\\\\Local Settings|System\\\\CurrentControlSet\\\\(Control\\\\(Class|Video|DeviceClasses)|Enum))\\\\'

# The installer ends in the Display control panel, where the library would
# ask the high-colour question of a 16-colour shell.
"$wine" reg add 'HKCU\Control Panel\Desktop\WindowMetrics' /v "Shell Icon BPP" /t REG_SZ /d 32 /f >/dev/null 2>&1
cp -f "$LUMETTA_BUILD/tools/desk/desk.cpl" "$drive_c/windows/system32/desk.cpl"
export_registry > "$work/registry-before"
list_files > "$work/files-before"

"$LUMETTA_SOURCE/scripts/install" "$WINEPREFIX" > "$work/install.log" 2>&1 || true
check 'grep -q "^installer ended with 0" "$work/install.log"' "the installer ends with 0"
check 'grep -q "^== the Display control panel opened" "$work/install.log"' "the installer opens the Display control panel"
check '[ -f "$folder/Lumetta/System/Lumetta.dll" ] && [ -f "$folder/Lumetta/Uninstall Norvane Lumetta.lnk" ]' \
  "the library and the Uninstall shortcut are installed"
export_registry > "$work/registry-installed"

out=$("$LUMETTA_SOURCE/scripts/uninstall" "$WINEPREFIX" 2>&1 || true)
echo "$out" > "$work/uninstall.log"
check 'grep -q "^result: Lumetta has now been removed from your computer" <<<"$out"' "the uninstaller's result"
export_registry > "$work/registry-after"
list_files > "$work/files-after"

# Traces by name, whatever the noise rule says: each is there after
# installing and gone after uninstalling.
trace() {  # WHAT PATTERN
  pattern=$2
  check 'grep -qiE "$pattern" "$work/registry-installed" && ! grep -qiE "$pattern" "$work/registry-after"' "$1"
}
B='\\\\'  # a backslash as the registry files write it, as a pattern
trace "the four classes" "4f7a2c1[0-3]-6b3e-4d85-9a1c-72e5b0d3f861"
trace "the approved-list values" "Shell Extensions${B}Approved\] \"\{4f7a2c1"
trace "the settings" "^\[system${B}Software${B}Norvane Information${B}Lumetta\] \"Enabled Types\""
trace "the Norvane Information key" "Software${B}Norvane Information"
trace "the uninstall entry" "Uninstall${B}Norvane Lumetta\]"
trace "the Display page handler" "Display${B}shellex${B}PropertySheetHandlers${B}Lumetta\]"
trace "the file types' icon handler" "${B}shellex${B}IconHandler\] @=\"\{4f7a2c12-"
trace "the file types' thumbnail handler" "${B}shellex${B}\{e357fccd-[-0-9a-f]*\}\] @=\"\{4f7a2c13-"
trace "the file types' property sheet entry" "PropertySheetHandlers${B}Norvane Lumetta\]"
trace "the install folder in any value" "=\".*Norvane Information${B}Lumetta"
check '! grep -qi "norvane\|lumetta" "$work/files-after"' "no file or folder of the product"
check '! grep -qiE "/lmt[0-9a-f]*\.tmp$" "$work/files-after"' "the uninstaller's temporary copy is gone"

diff "$work/registry-before" "$work/registry-after" | grep '^[<>]' | grep -vE "^[<>] $noise" \
  > "$work/registry-differences" || true
diff "$work/files-before" "$work/files-after" | grep '^[<>]' > "$work/file-differences" || true
check '[ ! -s "$work/registry-differences" ]' "the registry is as before ($(wc -l < "$work/registry-differences") lines differ)"
check '[ ! -s "$work/file-differences" ]' "the file tree is as before ($(wc -l < "$work/file-differences") lines differ)"
head -n 40 "$work/registry-differences" "$work/file-differences"
[ $fail = 0 ] || { echo "--- install"; cat "$work/install.log"; echo "--- uninstall"; cat "$work/uninstall.log"; }
exit $fail
