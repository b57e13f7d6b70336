#!/usr/bin/env bash
# The whole test run: the Linux build and its tests, the benchmark once at a
# tiny size, the C examples built as a user would, the same tests under the
# address and undefined-behaviour sanitizers, a bounded run of each fuzz
# target when clang is there, then the Windows DLLs, their export tables,
# the installed Windows tree, the C examples for Windows and the Windows
# test host under Wine.
#
# Every build is a configuration of CMakePresets.json, in build/<preset>,
# with warnings as errors. FUZZ_SECONDS (default 60) bounds each fuzz target;
# QUODRA_SKIP_FUZZ=1 and QUODRA_SKIP_WINDOWS=1 leave those parts out; JOBS
# (default 2) is the parallel build and test jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}
build=$root/build

step() { printf '\n== %s\n' "$*"; }
# Configures and builds the preset's tree (further arguments go to the
# configure step).
configure_and_build() {
  local preset=$1; shift
  cmake --preset "$preset" "$@" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
}

step "Linux build and tests"
configure_and_build linux
ctest --preset linux -j "$jobs"

step "Benchmark, once at a tiny size (it keeps the benchmark working; it judges no speed)"
bash bench/run.sh --build "$build/linux" --scale 0.001 --runs 1

step "C examples on Linux (an installed tree, pkg-config)"
bash tools/build-examples.sh linux "$build/linux"

step "Sanitizer build and tests (address, undefined, leaks)"
configure_and_build asan
ctest --preset asan -j "$jobs"

# libFuzzer with clang: the core instrumented for coverage and sanitized,
# each target run for a bounded time. New inputs go to a corpus in the build
# tree; the committed seeds (replayed by ctest above) are only read. The
# preset's compiler is clang 14; CLANGXX names another, and a clang++
# without a version serves where clang++-14 is missing.
clangxx=${CLANGXX:-clang++-14}
command -v "$clangxx" >/dev/null || clangxx=clang++
if command -v "$clangxx" >/dev/null && [ "${QUODRA_SKIP_FUZZ:-0}" != 1 ]; then
  seconds=${FUZZ_SECONDS:-60}
  step "Fuzzing each target for $seconds s (libFuzzer, $clangxx)"
  configure_and_build fuzz -DCMAKE_C_COMPILER="${clangxx/clang++/clang}" -DCMAKE_CXX_COMPILER="$clangxx"
  for target in url reply form follow chunked; do
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
  # The 64-bit twin first: the 32-bit tree ships its DLL beside its own.
  configure_and_build win64
  configure_and_build win32 -DQUODRA_WIN64_BUILD="$build/win64"
  step "Export table of the 32-bit DLL"
  bash tools/check-exports.sh "$build/win32/quodra.dll"
  step "Installed 32-bit Windows tree"
  bash tests/windows/install_test.sh "$build/win32"

  step "C examples on Windows (import library, run-time loading)"
  bash tools/build-examples.sh windows "$build/win32"
  step "Windows test host under Wine"
  bash tests/windows/run-wine.sh "$build/win64" "$build/linux"
fi
