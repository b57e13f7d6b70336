#!/usr/bin/env bash
# The README's code cannot drift from the examples, nor the examples from the
# library: every C and BASIC snippet of the README is an excerpt of a file in
# examples/ (its lines, indentation aside, in the same order), and the BASIC
# module declares every call of quodra.h once for VBA7 hosts (PtrSafe) and
# once for older ones, each with as many values as the C declaration has
# parameters, in their types: a text As String, an int As Long, and any
# other pointer As LongPtr (VBA7) or Long (older hosts, 32-bit only).
# tools/build-examples.sh compiles the C examples.
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
  case $block in *.c) candidates=("$src"/examples/*.c) ;; *) candidates=("$src"/examples/*.bas) ;; esac
  found=
  for f in "${candidates[@]}"; do
    if excerpt_of "$block.lines" "$f"; then found=$f; break; fi
  done
  if [ -n "$found" ]; then ok; else
    bad "README snippet is in no example file:"; sed 's/^/    /' "$block"
  fi
done

# ---- the BASIC module against quodra.h ---------------------------------------
# name and parameter types of each call quodra.h declares, as BASIC takes
# them: T (a text), L (a 32-bit int), P (any other pointer)
tr '\n' ' ' < "$src/include/quodra.h" |
  grep -o 'QUODRA_EXPORT int QUODRA_API [A-Za-z]*([^)]*)' |
  sed 's/QUODRA_EXPORT int QUODRA_API \([A-Za-z]*\)(\(.*\))/\1 \2/' |
  while read -r name params; do
    kinds=
    if [ "$params" != void ]; then
      while read -r p; do
        case $p in
          *char*\**) kinds="${kinds}T" ;;
          int\ *) kinds="${kinds}L" ;;
          *) kinds="${kinds}P" ;;
        esac
      done < <(tr ',' '\n' <<<"$params" | sed 's/^ *//')
    fi
    echo "$name $kinds"
  done | sort > "$work/header"
[ "$(wc -l < "$work/header")" -ge 18 ] && ok || bad "quodra.h: fewer than 18 calls found"
# The declarations of one branch of the module: VBA7 (inside #If VBA7) or
# the older hosts' (inside #Else), with each parameter's kind.
module_calls() {  # vba7|older
  awk -v want="$1" '
    /^#If VBA7 Then/ { branch = "vba7"; next }
    /^#Else/ { branch = "older"; next }
    /^#End If/ { branch = ""; next }
    /^Declare / && branch == want { print }' "$src/examples/quodra.bas" |
    sed 's/^Declare \(PtrSafe \)\{0,1\}Function \([A-Za-z]*\) Lib "quodra.dll" (\(.*\)) As Long$/\1|\2|\3/' |
    while IFS='|' read -r safe name params; do
      kinds=
      while read -r p; do
        [ -n "$p" ] || continue
        case $p in
          "ByVal "*" As String") kinds="${kinds}T" ;;
          "ByVal "*" As Long") kinds="${kinds}L" ;;
          "ByVal "*" As LongPtr") kinds="${kinds}P" ;;
          *) kinds="${kinds}?" ;;
        esac
      done < <(sed 's/, /\n/g' <<<"$params")
      [ "$1" = vba7 ] && [ "$safe" != "PtrSafe " ] && kinds="$kinds(not PtrSafe)"
      [ "$1" = older ] && [ -n "$safe" ] && kinds="$kinds(PtrSafe)"
      echo "$name $kinds"
    done | sort
}
module_calls vba7 > "$work/vba7"
module_calls older > "$work/older"
# Older hosts are 32-bit and know no LongPtr: a pointer is a Long there.
awk '{ gsub(/P/, "L", $2); print }' "$work/header" > "$work/header32"
if diff "$work/header" "$work/vba7" > "$work/diff"; then ok; else
  bad "examples/quodra.bas: the VBA7 declarations differ from quodra.h (header < > module):"
  sed 's/^/    /' "$work/diff"
fi
if diff "$work/header32" "$work/older" > "$work/diff"; then ok; else
  bad "examples/quodra.bas: the older hosts' declarations differ from quodra.h (header < > module):"
  sed 's/^/    /' "$work/diff"
fi
# Outside the two branches the module declares nothing.
stray=$(awk '/^#If VBA7 Then/ { on = 1 } /^#End If/ { on = 0; next } !on && /^Declare / { print }' \
  "$src/examples/quodra.bas")
[ -z "$stray" ] && ok || bad "examples/quodra.bas declares outside #If VBA7: $stray"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
