#!/usr/bin/env bash
# The command-line tool: usage errors, a refused connection reported with its
# meaning, and a whole GET against a one-shot local peer.
#
#   quodra_tool_test.sh TOOL SCRIPTED_PEER VERSION
set -uo pipefail
tool=$1
peer=$2
version=$3
work=$(mktemp -d /tmp/quodra-cli-XXXXXX)
trap 'kill $peer_pid 2>/dev/null; rm -rf "$work"' EXIT
passed=0 failed=0
check() {  # name, expected exit, actual exit, [pattern that stderr must hold]
  if [ "$2" = "$3" ] && { [ -z "${4:-}" ] || grep -q -- "$4" "$work/err"; }; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $1: exit $3 (want $2); stderr: $(cat "$work/err")"
  fi
}

"$tool" --version >"$work/out" 2>"$work/err"; check version 0 $? ""
[ "$(cat "$work/out")" = "quodra $version" ] || { failed=$((failed + 1)); echo "FAIL version text: $(cat "$work/out")"; }
"$tool" >/dev/null 2>"$work/err"; check "no command" 2 $? "usage"
"$tool" get http://127.0.0.1/ >/dev/null 2>"$work/err"; check "missing argument" 2 $? "usage"
"$tool" fetch a b >/dev/null 2>"$work/err"; check "unknown command" 2 $? "unknown command"
"$tool" get a b --depth 1 >/dev/null 2>"$work/err"; check "depth without propfind" 2 $? "propfind"

# A port that nobody listens on: the first of a few that refuses.
port=
for p in 9 19 39 49 59 69 79; do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then port=$p; break; fi
done
[ -n "$port" ] || { echo "no closed port found"; exit 1; }
"$tool" --quiet get "http://127.0.0.1:$port/" "$work/o" 2>"$work/err"; check refused 1 $? "result 1: the call was refused or the connection was not made"
# Host not found, or 11002 where no resolver can be reached at all.
"$tool" --quiet get "http://no-such-host.invalid/" "$work/o" 2>"$work/err"; check "unknown host" 1 $? "result 1100[12]: host \(not found\|lookup failed for now\)"

# A whole GET from the scripted peer.
"$peer" split-every-byte --for 60 >"$work/peer.out" 2>&1 &
peer_pid=$!
for _ in $(seq 50); do grep -q "port" "$work/peer.out" 2>/dev/null && break; sleep 0.1; done
pport=$(grep -o 'port [0-9]*' "$work/peer.out" | head -n 1 | cut -d' ' -f2)
"$tool" --quiet get "http://127.0.0.1:$pport/x" "$work/body" 2>"$work/err"; check "get from peer" 0 $? ""
"$peer" --body split-every-byte > "$work/want"
cmp -s "$work/want" "$work/body" || { failed=$((failed + 1)); echo "FAIL get from peer: body differs"; }
if [ -e /dev/full ]; then
  "$tool" --quiet get "http://127.0.0.1:$pport/x" /dev/full 2>"$work/err"; check "get into a full device" 1 $? "result 3: the reply cannot be stored"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
