#!/usr/bin/env bash
# libquodra.so exports, with C linkage, exactly the names of the export list
# and nothing else.
#
#   exports_test.sh LIBRARY EXPORT_LIST
set -euo pipefail
lib=$1
list=$2
want=$(awk '$1 ~ /^[0-9]+$/ {print $2}' "$list" | sort | tr '\n' ' ' | sed 's/ $//')
[ -n "$want" ] || { echo "no export in $list"; exit 1; }
got=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ {print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$got" != "$want" ]; then
  echo "exports differ"
  echo "  want: $want"
  echo "  got:  $got"
  exit 1
fi
echo "1 passed, 0 failed"
