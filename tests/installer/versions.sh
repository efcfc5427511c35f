#!/usr/bin/env bash
# The Windows versions Wine can pretend to be (its per-program version
# setting): Windows NT 3.51 refuses the installer with message 1 and exit
# code -1; Windows 95 takes the WININIT.INI road for a file in use.
set -euo pipefail
build=$LUMETTA_BUILD
run() { "$LUMETTA_WINE" "$@" | tr -d '\r'; }
work=$build/tests/installer/versions
rm -rf "$work"; mkdir -p "$work"
fail=0
appdefaults() { run reg add "HKCU\\Software\\Wine\\AppDefaults\\$1" /v Version /d "$2" /f >/dev/null; }
forget() { run reg delete "HKCU\\Software\\Wine\\AppDefaults\\$1" /f >/dev/null 2>&1 || true; }

# The installer itself is a 32-bit program: in the 64-bit build only its
# work after Finish is tested.
if [ -f "$build/installer/Norvane Lumetta Installer.exe" ]; then
  cp "$build/installer/Norvane Lumetta Installer.exe" "$work/setup351.exe"
  appdefaults setup351.exe nt351
  # Waited for without the pipe, which Wine's own processes hold open.
  "$LUMETTA_WINE" "$work/setup351.exe" >"$work/wine.log" 2>&1 & pid=$!
  said=$(run "$build/tools/installdriver/installdriver.exe" dialog Error 1 20 || true)
  status=0; wait $pid || status=$?
  forget setup351.exe
  if grep -q 'unable to install Norvane Lumetta on this operating system' <<<"$said" && [ $status = 255 ]; then
    echo "ok: Windows NT 3.51 refused with message 1 and -1"
  else
    echo "FAIL: Windows NT 3.51: status $status, said: $said"; fail=1
  fi
fi

cp "$build/tests/installer/installer_tests.exe" "$work/"
mv "$work/installer_tests.exe" "$work/tests95.exe"
appdefaults tests95.exe win95
run "$work/tests95.exe" --gtest_filter='Windows95.*' || fail=1
forget tests95.exe
exit $fail
