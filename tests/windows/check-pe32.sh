#!/bin/sh
# Checks the Windows deliverable: a PE32 (32-bit) program for the GUI
# subsystem that imports setupapi, hid, kernel32 and msvcrt and no other DLL.
# Usage: check-pe32.sh <objdump> <program.exe>
set -eu
objdump=$1
exe=$2
headers=$("$objdump" -p "$exe")
fail=0

echo "$headers" | grep -q '^Magic[[:space:]]*010b[[:space:]]*(PE32)' || { echo "not PE32: $exe"; fail=1; }
echo "$headers" | grep -q '^Subsystem[[:space:]]*00000002[[:space:]]*(Windows GUI)' || { echo "not a GUI-subsystem program: $exe"; fail=1; }

dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
want="hid.dll kernel32.dll msvcrt.dll setupapi.dll "
if [ "$dlls" != "$want" ]; then
    echo "imported DLLs: $dlls"
    echo "expected:      $want"
    fail=1
fi
[ $fail -eq 0 ] && echo "ok: PE32, GUI subsystem, imports $dlls"
exit $fail
