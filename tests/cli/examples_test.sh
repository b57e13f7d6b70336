#!/usr/bin/env bash
# The README's code cannot drift from the examples, nor the examples from the
# library: every C and BASIC snippet of the README is an excerpt of a file in
# examples/ (its lines, indentation aside, in the same order), and the BASIC
# module declares every call of quodra.h once, with as many 32-bit values as
# the C declaration has parameters. tools/build-examples.sh compiles the C
# examples.
#
#   examples_test.sh SOURCE_DIR
set -uo pipefail
src=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
work=$(mktemp -d /tmp/quodra-examples-XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL $*"; }

# Lines without their leading and trailing white space, blank ones dropped.
stripped() { sed -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' -e '/^$/d' "$@"; }

# True when every line of $1 is found in $2, in order.
excerpt_of() {
  awk 'NR == FNR { want[++n] = $0; next }
       i < n && $0 == want[i + 1] { ++i }
       END { exit(i == n ? 0 : 1) }' "$1" <(stripped "$2")
}

# ---- README snippets ------------------------------------------------------------
awk -v dir="$work" '
  /^```(c|vb)$/ { lang = substr($0, 4); file = sprintf("%s/block-%02d.%s", dir, ++n, lang); next }
  /^```/ { file = ""; next }
  file != "" { print > file }' "$src/README.md"
blocks=("$work"/block-*)
[ -e "${blocks[0]}" ] || bad "README has no C or BASIC snippet"
for block in "${blocks[@]}"; do
  [ -e "$block" ] || continue
  stripped "$block" > "$block.lines"
  case $block in *.c) candidates=("$src"/examples/*.c) ;; *) candidates=("$src/examples/quodra.bas") ;; esac
  found=
  for f in "${candidates[@]}"; do
    if excerpt_of "$block.lines" "$f"; then found=$f; break; fi
  done
  if [ -n "$found" ]; then ok; else
    bad "README snippet is in no example file:"; sed 's/^/    /' "$block"
  fi
done

# ---- the BASIC module against quodra.h ---------------------------------------
# name and parameter count of each call quodra.h declares
tr '\n' ' ' < "$src/include/quodra.h" |
  grep -o 'QUODRA_EXPORT int QUODRA_API [A-Za-z]*([^)]*)' |
  sed 's/QUODRA_EXPORT int QUODRA_API \([A-Za-z]*\)(\(.*\))/\1 \2/' |
  while read -r name params; do
    if [ "$params" = void ]; then echo "$name 0"; else echo "$name $(($(tr -cd , <<<"$params" | wc -c) + 1))"; fi
  done | sort > "$work/header"
grep '^Declare Function ' "$src/examples/quodra.bas" |
  sed 's/^Declare Function \([A-Za-z]*\) Lib "quodra.dll" (\(.*\)) As Long$/\1 \2/' |
  while read -r name params; do echo "$name $(grep -o 'ByVal ' <<<"$params" | wc -l)"; done |
  sort > "$work/module"
[ "$(wc -l < "$work/header")" -ge 15 ] && ok || bad "quodra.h: fewer than 15 calls found"
if diff "$work/header" "$work/module" > "$work/diff"; then ok; else
  bad "examples/quodra.bas does not declare the calls of quodra.h (header < > module):"
  sed 's/^/    /' "$work/diff"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
