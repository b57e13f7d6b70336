#!/usr/bin/env bash
# Checks the shipped 32-bit quodra.dll from its PE tables:
#   - exactly sixteen exports, by name without decoration, at these ordinals:
#     httpGet 1, httpHead 2, httpPostFile 3, davOptions 4, davMkcol 5,
#     davPropfind 6, davPut 7, davDelete 8, davMove 9, davCopy 10,
#     NetWndProc 11, httpLastStatus 12, httpLastHead 13, httpLastError 14,
#     httpResultText 15, httpSetOption 16;
#   - imports from system DLLs only (no compiler runtime DLL to ship);
#   - when the import library libquodra.dll.a lies beside it and the DLL
#     still has its symbols, each stdcall name in the import library (e.g.
#     _httpGet@12) is the one the DLL was built with.
#
#   check-exports.sh PATH/quodra.dll
#
# OBJDUMP and NM name other tools than i686-w64-mingw32-objdump / -nm.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 PATH/quodra.dll" >&2
  exit 2
fi
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}
[ -f "$dll" ] || { echo "check-exports: $dll not found" >&2; exit 2; }
command -v "$objdump" >/dev/null || { echo "check-exports: $objdump not found (package binutils-mingw-w64-i686)" >&2; exit 2; }

failures=0
bad() { echo "check-exports: $*" >&2; failures=$((failures + 1)); }

dump=$("$objdump" -p "$dll") || { echo "check-exports: $objdump cannot read $dll" >&2; exit 1; }

grep -q 'file format pei-i386' <<<"$dump" || bad "$dll is not a 32-bit (pei-i386) image"

# ---- exports --------------------------------------------------------------------
expected="httpGet 1
httpHead 2
httpPostFile 3
davOptions 4
davMkcol 5
davPropfind 6
davPut 7
davDelete 8
davMove 9
davCopy 10
NetWndProc 11
httpLastStatus 12
httpLastHead 13
httpLastError 14
httpResultText 15
httpSetOption 16"
count=$(wc -l <<<"$expected")

base=$(sed -n 's/^Export Address Table -- Ordinal Base \([0-9]*\).*/\1/p' <<<"$dump" | head -n 1)
[ -n "$base" ] || { bad "no export table"; base=0; }
# Entries of the export address table: one per ordinal, named or not.
slots=$(sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' <<<"$dump" | grep -c 'Export RVA' || true)
# Named exports: "[index] name", ordinal = index + base.
actual=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\2 \1/p' |
  while read -r name index; do echo "$name $((index + base))"; done)

if [ "$(sort <<<"$actual")" != "$(sort <<<"$expected")" ]; then
  bad "exports differ from the $count names and ordinals; expected vs found:"
  diff <(sort <<<"$expected") <(sort <<<"$actual") >&2 || true
fi
[ "$slots" = "$count" ] || bad "the export address table has $slots entries, not $count"
while read -r name ordinal; do
  case $name in *@*|_*) bad "decorated export name: $name" ;; esac
done <<<"$actual"

# ---- imports ----------------------------------------------------------------------
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")
[ -n "$imports" ] || bad "no import table"
while read -r lib; do
  [ -n "$lib" ] || continue
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$lib")
  case $lower in
    kernel32.dll|user32.dll|ws2_32.dll|wsock32.dll|advapi32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-crt-*.dll) ;;
    libgcc*|libstdc++*|libwinpthread*) bad "imports the compiler runtime $lib (link with -static-libgcc -static-libstdc++ -static)" ;;
    *) bad "imports $lib, which is not a system DLL" ;;
  esac
done <<<"$imports"

# ---- import library -------------------------------------------------------------
implib=$(dirname "$dll")/libquodra.dll.a
if [ -f "$implib" ] && command -v "$nm" >/dev/null; then
  built=$("$nm" "$dll" 2>/dev/null | sed -n 's/^[0-9a-fA-F]* T \(_[A-Za-z]*@[0-9]*\)$/\1/p' | sort -u)
  if [ -z "$built" ]; then
    echo "check-exports: $dll has no symbols; import library names not compared"
  else
    offered=$("$nm" "$implib" | sed -n 's/^[0-9a-fA-F]* T \(_[A-Za-z]*@[0-9]*\)$/\1/p' | sort -u)
    while read -r name _; do
      want=$(grep "^_$name@" <<<"$built" || true)
      have=$(grep "^_$name@" <<<"$offered" || true)
      [ -n "$want" ] && [ "$want" = "$have" ] ||
        bad "import library offers '${have:-nothing}' for $name, the DLL was built with '${want:-nothing}'"
    done <<<"$expected"
  fi
fi

if [ "$failures" -gt 0 ]; then
  echo "check-exports: $dll: $failures problem(s)" >&2
  exit 1
fi
echo "check-exports: $dll: $count exports at ordinals 1-$count; imports $(tr '\n' ' ' <<<"$imports")"
