#!/usr/bin/env bash
# libquodra.so exports the ten calls, the window procedure and the five calls
# beside them (last status, head and error, result text, options), with C
# linkage, and nothing else.
set -euo pipefail
lib=$1
want="NetWndProc davCopy davDelete davMkcol davMove davOptions davPropfind davPut httpGet httpHead httpLastError httpLastHead httpLastStatus httpPostFile httpResultText httpSetOption"
got=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ {print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$got" != "$want" ]; then
  echo "exports differ"
  echo "  want: $want"
  echo "  got:  $got"
  exit 1
fi
echo "1 passed, 0 failed"
