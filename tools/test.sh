#!/usr/bin/env bash
# The whole test run: the Linux build and its tests, the C examples built as
# a user would, the same tests under the address and undefined-behaviour
# sanitizers, then the Windows DLLs, their export tables, the C examples for
# Windows and the Windows test host under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}
build=${BUILD_DIR:-$root/build}

step() { printf '\n== %s\n' "$*"; }

step "Linux build and tests"
cmake -S . -B "$build/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/linux" -j "$jobs"
ctest --test-dir "$build/linux" --output-on-failure -j "$jobs" --timeout 600

step "C examples on Linux (an installed tree, pkg-config)"
bash tools/build-examples.sh linux "$build/linux"

step "Sanitizer build and tests (address, undefined, leaks)"
cmake -S . -B "$build/asan" -DCMAKE_BUILD_TYPE=Debug -DQUODRA_SANITIZE=ON >/dev/null
cmake --build "$build/asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build/asan" --output-on-failure -j "$jobs" --timeout 900

if [ "${QUODRA_SKIP_WINDOWS:-0}" != 1 ]; then
  step "Windows DLLs (32-bit shipped, 64-bit twin for Wine)"
  cmake -S . -B "$build/win32" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build/win32" -j "$jobs"
  cmake -S . -B "$build/win64" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build/win64" -j "$jobs"
  step "Export table of the 32-bit DLL"
  bash tools/check-exports.sh "$build/win32/quodra.dll"
  step "C examples on Windows (import library, run-time loading)"
  bash tools/build-examples.sh windows "$build/win32"
  step "Windows test host under Wine"
  bash tests/windows/run-wine.sh "$build/win64" "$build/linux"
fi
