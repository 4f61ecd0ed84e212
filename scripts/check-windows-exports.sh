#!/usr/bin/env bash
# Checks the Windows module's export and import tables: QdxMain exported
# under that exact, undecorated name and nothing else; err imported from
# TELVOR.dll; and no DLL needed beside it but the system's and TELVOR.dll
# (a runtime DLL such as libwinpthread-1.dll would not be on a host's path).
set -euo pipefail
dll=${1:-build/windows-i686/QDXTLMV.dll}
table=$(i686-w64-mingw32-objdump -p "$dll")
exports=$(printf '%s\n' "$table" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk 'NR>1 && NF {print $NF}')
if [ "$exports" != "QdxMain" ]; then
  echo "FAIL: $dll exports [$exports], expected QdxMain alone"; exit 1
fi
imports=$(printf '%s\n' "$table" | sed -n '/DLL Name: TELVOR.dll/,/^$/p' | awk '$NF=="err"{print $NF}')
if [ "$imports" != "err" ]; then
  echo "FAIL: $dll does not import err from TELVOR.dll"; exit 1
fi
needed=$(printf '%s\n' "$table" | awk '/DLL Name:/ {print $NF}' | sort | tr '\n' ' ')
if [ "$needed" != "KERNEL32.dll TELVOR.dll msvcrt.dll " ]; then
  echo "FAIL: $dll needs [$needed], expected KERNEL32.dll TELVOR.dll msvcrt.dll"; exit 1
fi
echo "$dll: exports QdxMain alone; imports err from TELVOR.dll; needs only KERNEL32, msvcrt and TELVOR"
