#!/usr/bin/env bash
# The whole test run: the Linux build and its tests, the benchmark once at a
# tiny size, the C examples built as a user would, the same tests under the
# address and undefined-behaviour sanitizers, a bounded run of each fuzz
# target when clang is there, then the Windows DLLs, their export tables,
# the installed Windows tree, the C examples for Windows and the Windows
# test host under Wine.
#
# FUZZ_SECONDS (default 60) bounds each fuzz target; QUODRA_SKIP_FUZZ=1 and
# QUODRA_SKIP_WINDOWS=1 leave those parts out.
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

step "Benchmark, once at a tiny size (it keeps the benchmark working; it judges no speed)"
bash bench/run.sh --build "$build/linux" --scale 0.001 --runs 1

step "C examples on Linux (an installed tree, pkg-config)"
bash tools/build-examples.sh linux "$build/linux"

step "Sanitizer build and tests (address, undefined, leaks)"
cmake -S . -B "$build/asan" -DCMAKE_BUILD_TYPE=Debug -DQUODRA_SANITIZE=ON >/dev/null
cmake --build "$build/asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build/asan" --output-on-failure -j "$jobs" --timeout 900

# libFuzzer with clang: the core instrumented for coverage and sanitized,
# each target run for a bounded time. New inputs go to a corpus in the build
# tree; the committed seeds (replayed by ctest above) are only read.
clangxx=${CLANGXX:-$(command -v clang++-14 || command -v clang++ || true)}
if [ -n "$clangxx" ] && [ "${QUODRA_SKIP_FUZZ:-0}" != 1 ]; then
  seconds=${FUZZ_SECONDS:-60}
  step "Fuzzing each target for $seconds s (libFuzzer, $clangxx)"
  CC=${clangxx/clang++/clang} CXX=$clangxx cmake -S . -B "$build/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUODRA_FUZZ=ON -DQUODRA_SANITIZE=ON -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
  cmake --build "$build/fuzz" -j "$jobs" --target fuzz_url fuzz_reply fuzz_form fuzz_follow
  for target in url reply form follow; do
    corpus=$build/fuzz/corpus/$target
    log=$build/fuzz/$target.log
    mkdir -p "$corpus"
    if ! "$build/fuzz/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
         -artifact_prefix="$build/fuzz/$target-" "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
      tail -n 40 "$log"
      echo "fuzz_$target failed; the input is in $build/fuzz/ (replay it with fuzz_${target}_replay)" >&2
      exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: //p' "$log")
    cov=$(grep -o 'DONE *cov: [0-9]* ft: [0-9]* corp: [0-9]*' "$log" | tail -n 1)
    echo "fuzz_$target: $runs inputs in $seconds s; $cov"
  done
fi

if [ "${QUODRA_SKIP_WINDOWS:-0}" != 1 ]; then
  step "Windows DLLs (32-bit shipped, 64-bit twin for Wine)"
  cmake -S . -B "$build/win32" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DQUODRA_WIN64_BUILD="$build/win64" >/dev/null
  cmake --build "$build/win32" -j "$jobs"
  cmake -S . -B "$build/win64" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build/win64" -j "$jobs"
  step "Export table of the 32-bit DLL"
  bash tools/check-exports.sh "$build/win32/quodra.dll"
  step "Installed 32-bit Windows tree"
  bash tests/windows/install_test.sh "$build/win32"

  step "C examples on Windows (import library, run-time loading)"
  bash tools/build-examples.sh windows "$build/win32"
  step "Windows test host under Wine"
  bash tests/windows/run-wine.sh "$build/win64" "$build/linux"
fi
