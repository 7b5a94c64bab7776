#!/bin/sh
# Checks the DLL imports of a Windows mkxform.exe:
#   check-imports.sh OBJDUMP mkxform.exe native|system
# Both back ends may import only KERNEL32.dll and msvcrt.dll (everything else is
# linked in statically); the system back end must also import msi.dll and the native
# one must not.
set -eu
objdump=$1 exe=$2 backend=$3
dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports of $exe:" $dlls
status=0
for dll in $dlls; do
  case $dll in
    kernel32.dll|msvcrt.dll) ;;
    msi.dll) [ "$backend" = system ] || { echo "FAIL: the $backend build imports msi.dll"; status=1; } ;;
    *) echo "FAIL: unexpected import $dll (not linked statically?)"; status=1 ;;
  esac
done
if [ "$backend" = system ] && ! echo "$dlls" | grep -qx msi.dll; then
  echo "FAIL: the system build does not import msi.dll"
  status=1
fi
echo "$dlls" | grep -qx kernel32.dll || { echo "FAIL: no kernel32.dll import (is this a PE file?)"; status=1; }
exit $status
