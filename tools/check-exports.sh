#!/usr/bin/env bash
# Checks the shipped 32-bit quodra.dll from its PE tables against the export
# list (src/api/exports.list: ordinal, name, 32-bit arguments):
#   - exactly the listed exports, by name without decoration, each at its
#     ordinal, and no other entry in the export address table;
#   - imports from system DLLs only (no compiler runtime DLL to ship; SChannel
#     and the certificate store come from SECUR32 and CRYPT32);
#   - when the import library is there and the DLL still has its symbols,
#     each stdcall name in the import library (e.g. _httpGet@12) is the one
#     the DLL was built with.
#
#   check-exports.sh PATH/quodra.dll [IMPORT_LIBRARY]
#
# IMPORT_LIBRARY defaults to libquodra.dll.a beside the DLL, as the build
# tree has it. EXPORT_LIST names another list; OBJDUMP and NM name other
# tools than i686-w64-mingw32-objdump / -nm.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 PATH/quodra.dll [IMPORT_LIBRARY]" >&2
  exit 2
fi
dll=$1
implib=${2:-$(dirname "$dll")/libquodra.dll.a}
list=${EXPORT_LIST:-$(cd "$(dirname "$0")/.." && pwd)/src/api/exports.list}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}
[ -f "$dll" ] || { echo "check-exports: $dll not found" >&2; exit 2; }
[ -f "$list" ] || { echo "check-exports: export list $list not found" >&2; exit 2; }
[ $# -lt 2 ] || [ -f "$implib" ] || { echo "check-exports: $implib not found" >&2; exit 2; }
command -v "$objdump" >/dev/null || { echo "check-exports: $objdump not found (package binutils-mingw-w64-i686)" >&2; exit 2; }

failures=0
bad() { echo "check-exports: $*" >&2; failures=$((failures + 1)); }

dump=$("$objdump" -p "$dll") || { echo "check-exports: $objdump cannot read $dll" >&2; exit 1; }

grep -q 'file format pei-i386' <<<"$dump" || bad "$dll is not a 32-bit (pei-i386) image"

# ---- exports --------------------------------------------------------------------
# "name ordinal" per listed export.
expected=$(awk '$1 ~ /^[0-9]+$/ {print $2, $1}' "$list")
count=$(grep -c . <<<"$expected" || true)
[ "$count" -gt 0 ] || { echo "check-exports: no export in $list" >&2; exit 2; }

base=$(sed -n 's/^Export Address Table -- Ordinal Base \([0-9]*\).*/\1/p' <<<"$dump" | head -n 1)
[ -n "$base" ] || { bad "no export table"; base=0; }
# Entries of the export address table, one per ordinal from the base, as
# its header counts them (in hex); objdump lists only those that lead
# somewhere, so an empty one is missing from its listing.
slots_hex=$(sed -n '/^Number in:/,/^Table Addresses/ s/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-fA-F]*\)[[:space:]]*$/\1/p' <<<"$dump" | head -n 1)
slots=$((16#${slots_hex:-0}))
filled=$(sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' <<<"$dump" | grep -c 'Export RVA' || true)
# Named exports: "[index] name", ordinal = index + base.
actual=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\2 \1/p' |
  while read -r name index; do echo "$name $((index + base))"; done)

if [ "$(sort <<<"$actual")" != "$(sort <<<"$expected")" ]; then
  bad "exports differ from the $count names and ordinals of $list; expected vs found:"
  diff <(sort <<<"$expected") <(sort <<<"$actual") >&2 || true
fi
# One entry per ordinal up to the highest listed: an ordinal the list leaves
# free (kept for a call not built yet) is an empty entry, never a call.
highest=$(awk '$1 ~ /^[0-9]+$/ && $1 > m {m = $1} END {print m + 0}' "$list")
[ "$slots" = "$highest" ] || bad "the export address table has $slots entries, not $highest"
[ "$filled" = "$count" ] || bad "$filled entries of the export address table lead to code, not the $count listed"
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
    kernel32.dll|user32.dll|ws2_32.dll|wsock32.dll|advapi32.dll|secur32.dll|crypt32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-crt-*.dll) ;;
    libgcc*|libstdc++*|libwinpthread*) bad "imports the compiler runtime $lib (link with -static-libgcc -static-libstdc++ -static)" ;;
    *) bad "imports $lib, which is not a system DLL" ;;
  esac
done <<<"$imports"

# ---- import library -------------------------------------------------------------
if [ -f "$implib" ] && command -v "$nm" >/dev/null; then
  built=$("$nm" "$dll" 2>/dev/null | sed -n 's/^[0-9a-fA-F]* T \(_[A-Za-z]*@[0-9]*\)$/\1/p' | sort -u)
  if [ -z "$built" ]; then
    echo "check-exports: $dll has no symbols; import library names not compared"
  else
    offered=$("$nm" "$implib" | sed -n 's/^[0-9a-fA-F]* T \(_[A-Za-z]*@[0-9]*\)$/\1/p' | sort -u)
    while read -r name _; do
      want=$(grep "^_$name@" <<<"$built" || true)
      have=$(grep "^_$name@" <<<"$offered" || true)
      listed=_$name@$(( $(awk -v n="$name" '$2 == n {print $3}' "$list") * 4 ))
      [ -n "$want" ] && [ "$want" = "$have" ] ||
        bad "import library offers '${have:-nothing}' for $name, the DLL was built with '${want:-nothing}'"
      [ "$want" = "$listed" ] ||
        bad "the export list makes $listed of $name, the DLL was built with '${want:-nothing}'"
    done <<<"$expected"
  fi
fi

if [ "$failures" -gt 0 ]; then
  echo "check-exports: $dll: $failures problem(s)" >&2
  exit 1
fi
echo "check-exports: $dll: $count exports at ordinals 1-$highest; imports $(tr '\n' ' ' <<<"$imports")"
