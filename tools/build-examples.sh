#!/usr/bin/env bash
# Builds the C examples as a user of the library would, so that they (and
# the README's snippets, which tests/cli/examples_test.sh holds to them)
# cannot rot:
#
#   build-examples.sh linux BUILD     installs BUILD into a scratch prefix,
#                                     builds examples/fetch.c,
#                                     examples/lock_edit.c and
#                                     examples/progress.c with pkg-config,
#                                     runs fetch and progress against the
#                                     scripted peer
#   build-examples.sh windows BUILD   builds examples/fetch.c,
#                                     examples/lock_edit.c and
#                                     examples/progress.c against the import
#                                     library of the 32-bit DLL in BUILD, and
#                                     examples/fetch_runtime.c (run-time
#                                     loading); run-wine.sh runs the 64-bit
#                                     progress.exe under Wine
#
# Warnings are errors: an example must compile clean as C99.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 linux|windows BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/quodra-examples-XXXXXX)
peer_pid=
trap '[ -z "$peer_pid" ] || kill "$peer_pid" 2>/dev/null; rm -rf "$work"' EXIT
cflags="-std=c99 -pedantic -Wall -Wextra -Werror"

case $1 in
linux)
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  pc=$(find "$work/prefix" -name quodra.pc | head -n 1)
  flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs quodra)
  cc $cflags "$root/examples/fetch.c" $flags -o "$work/fetch"
  cc $cflags "$root/examples/lock_edit.c" $flags -o "$work/lock_edit"
  cc $cflags "$root/examples/progress.c" $flags -o "$work/progress"
  echo "build-examples: examples/fetch.c, examples/lock_edit.c and examples/progress.c built with pkg-config"

  # One GET from a peer that answers 200 "ok": the program must tell the
  # status and show the head it got.
  peer=$build/tests/scripted_peer
  [ -x "$peer" ] || { echo "build-examples: $peer is missing" >&2; exit 1; }
  # The file exists before the peer starts, so that reading it for the port
  # never races with its creation.
  : > "$work/peer.out"
  "$peer" record --for 60 > "$work/peer.out" 2>&1 &
  peer_pid=$!
  port=
  for _ in $(seq 1 100); do
    port=$(sed -n 's/^port //p' "$work/peer.out" | head -n 1)
    [ -z "$port" ] || break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "build-examples: the peer did not start" >&2; exit 1; }
  libdir=$(dirname "$(find "$work/prefix" -name 'libquodra.so' | head -n 1)")
  LD_LIBRARY_PATH=$libdir timeout 60 "$work/fetch" "http://127.0.0.1:$port/x" "$work/out" > "$work/said"
  grep -q '^result 0: complete reply$' "$work/said" &&
    grep -q '^status 200, head of [0-9]* bytes:$' "$work/said" &&
    grep -q '^HTTP/1.0 200 OK' "$work/said" &&
    [ "$(cat "$work/out")" = ok ] || {
      echo "build-examples: examples/fetch.c said:" >&2
      cat "$work/said" >&2
      exit 1
    }
  echo "build-examples: examples/fetch.c fetched a reply and told its status and head"

  # A reply of 2000 announced bytes in pieces 200 ms apart: the callback
  # sees the length and cancels once half has come.
  kill "$peer_pid" 2>/dev/null
  : > "$work/slow.out"
  "$peer" slow-within-idle-limit --for 60 > "$work/slow.out" 2>&1 &
  peer_pid=$!
  port=
  for _ in $(seq 1 100); do
    port=$(sed -n 's/^port //p' "$work/slow.out" | head -n 1)
    [ -z "$port" ] || break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "build-examples: the slow peer did not start" >&2; exit 1; }
  LD_LIBRARY_PATH=$libdir timeout 60 "$work/progress" "http://127.0.0.1:$port/x" "$work/half" > "$work/said" || {
    echo "build-examples: examples/progress.c did not cancel:" >&2
    cat "$work/said" >&2
    exit 1
  }
  grep -Eq '^received [0-9]+ of 2000$' "$work/said" &&
    grep -Eq '^result 14 after [0-9]+ reports, (1[0-9]{3}) of 2000 bytes: the progress callback cancelled the call$' "$work/said" || {
      echo "build-examples: examples/progress.c said:" >&2
      cat "$work/said" >&2
      exit 1
    }
  echo "build-examples: examples/progress.c cancelled a download halfway"
  ;;
windows)
  gcc=${MINGW_GCC:-i686-w64-mingw32-gcc}
  [ -f "$build/libquodra.dll.a" ] || { echo "build-examples: $build/libquodra.dll.a is missing" >&2; exit 1; }
  for example in fetch lock_edit progress; do
    "$gcc" $cflags -I"$root/include" -I"$build/generated/include" "$root/examples/$example.c" -L"$build" -lquodra -o "$work/$example.exe"
  done
  echo "build-examples: examples/fetch.c, examples/lock_edit.c and examples/progress.c built against the import library"
  # -pedantic would object to the function-pointer casts every run-time
  # loading program makes from GetProcAddress's result.
  "$gcc" -std=c99 -Wall -Wextra -Werror -I"$root/include" -I"$build/generated/include" "$root/examples/fetch_runtime.c" -o "$work/fetch_runtime.exe"
  echo "build-examples: examples/fetch_runtime.c built (run-time loading)"
  # The import library must have been asked for the calls by their stdcall
  # names; the program imports them from quodra.dll, nothing else of ours.
  objdump=${MINGW_OBJDUMP:-i686-w64-mingw32-objdump}
  if command -v "$objdump" >/dev/null; then
    # Whole dumps first: grep -q leaving a pipe early would fail it.
    linked=$("$objdump" -p "$work/fetch.exe")
    loading=$("$objdump" -p "$work/fetch_runtime.exe")
    grep -q 'DLL Name: quodra.dll' <<<"$linked" || {
      echo "build-examples: fetch.exe does not import quodra.dll" >&2
      exit 1
    }
    if grep -qi 'DLL Name: quodra.dll' <<<"$loading"; then
      echo "build-examples: fetch_runtime.exe imports quodra.dll; it must load it at run time" >&2
      exit 1
    fi
  fi
  ;;
*)
  echo "usage: $0 linux|windows BUILD_DIR" >&2
  exit 2
  ;;
esac
