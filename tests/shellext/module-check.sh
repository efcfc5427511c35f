#!/usr/bin/env bash
# What a Windows machine sees of Lumetta.dll: a PE module of the build's
# kind, exactly the two exports the shell calls, imports from system DLLs
# only (every other library is linked in), and a version resource.
set -euo pipefail
dll=$LUMETTA_BUILD/shellext/Lumetta.dll
objdump=/usr/bin/${LUMETTA_TRIPLE:?}-objdump
fail=0
check() { if eval "$2"; then echo "ok $1"; else echo "FAIL $1"; fail=1; fi; }

kind=$(file -b "$dll")
case "$LUMETTA_TRIPLE" in
  i686-*) check "PE32 DLL for Intel 80386: $kind" '[[ "$kind" == "PE32 executable (DLL)"*"Intel 80386"* ]]' ;;
  x86_64-*) check "PE32+ DLL for x86-64: $kind" '[[ "$kind" == "PE32+ executable (DLL)"*"x86-64"* ]]' ;;
esac

headers=$("$objdump" -p "$dll")
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
check "exports: $exports" '[ "$exports" = "DllCanUnloadNow DllGetClassObject " ]'

allowed=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll user32.dll version.dll "
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
foreign=""
for d in $imports; do [[ "$allowed" == *" $d "* ]] || foreign+="$d "; done
check "imports system DLLs only: $imports" '[ -n "$imports" ] && [ -z "$foreign" ]'

# The fixed file information: its signature, then the structure version and
# the file version (most significant word first).
version=$(python3 - "$dll" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
at = data.find(struct.pack('<I', 0xFEEF04BD))
if at < 0:
    sys.exit(0)
ms, ls = struct.unpack_from('<II', data, at + 8)
print('%d.%d.%d.%d' % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
PY
)
expected=$(sed -n 's/^#define LUMETTA_VERSION_TEXT "\(.*\)"/\1/p' "$LUMETTA_SOURCE/shellext/version.rc")
check "version resource $version" '[ -n "$version" ] && [ "$version" = "$expected" ]'
exit $fail
