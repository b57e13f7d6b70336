#!/usr/bin/env bash
# The installed 32-bit Windows tree, installed with --prefix and then moved:
#   - bin/quodra.dll, lib/libquodra.dll.a, the headers and the CMake package;
#   - the 64-bit twin beside it (bin/x64/quodra.dll, lib/x64/libquodra.dll.a:
#     the build was configured with QUODRA_WIN64_BUILD), the BASIC module
#     and its example, the C examples and the README's Windows section;
#   - both DLLs carry a version resource with the product, the project's
#     version and a description;
#   - cpack -G ZIP packs that same tree;
#   - the installed DLL and import library pass tools/check-exports.sh;
#   - a C program compiled against the installed header and linked with the
#     import library, and one built by CMake with find_package(quodra CONFIG),
#     import the calls from quodra.dll by their undecorated names.
# Builds nothing of the library and runs nothing under Wine.
#
#   install_test.sh WIN32_BUILD
set -uo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 WIN32_BUILD" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
cc=${CC_MINGW:-i686-w64-mingw32-gcc}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
work=$(mktemp -d /tmp/quodra-wininstall-XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL $*"; }

cmake --install "$build" --prefix "$work/staged" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "0 passed, 1 failed"; exit 1; }
mv "$work/staged" "$work/moved"
prefix=$work/moved

missing=""
shipped="bin/quodra.dll lib/libquodra.dll.a include/quodra.h include/quodra_version.h
  lib/cmake/quodra/quodraConfig.cmake lib/cmake/quodra/quodraConfigVersion.cmake
  bin/x64/quodra.dll lib/x64/libquodra.dll.a share/quodra/examples/quodra.bas
  share/quodra/examples/progress.bas share/quodra/examples/progress.c
  share/doc/quodra/README-windows.md"
for f in $shipped; do
  [ -f "$prefix/$f" ] || missing="$missing $f"
done
[ -z "$missing" ] && pass || fail "not installed:$missing (QUODRA_WIN64_BUILD set for the 32-bit build?)"

# Each DLL of its own width, each with its version resource (UTF-16 texts).
# (The 64-bit objdump reads both widths.)
objdump64=${OBJDUMP64:-x86_64-w64-mingw32-objdump}
format_of() { "$objdump64" -f "$1" 2>/dev/null | sed -n 's/.*file format //p' | head -n 1; }
[ "$(format_of "$prefix/bin/quodra.dll")" = pei-i386 ] && pass ||
  fail "bin/quodra.dll is '$(format_of "$prefix/bin/quodra.dll")', want pei-i386"
[ "$(format_of "$prefix/bin/x64/quodra.dll")" = pei-x86-64 ] && pass ||
  fail "bin/x64/quodra.dll is '$(format_of "$prefix/bin/x64/quodra.dll")', want pei-x86-64"
version=$(sed -n 's/^#define QUODRA_VERSION "\(.*\)"$/\1/p' "$prefix/include/quodra_version.h")
for dll in bin/quodra.dll bin/x64/quodra.dll; do
  texts=$(strings -el "$prefix/$dll")
  for want in ProductName Quodra ProductVersion "$version" FileDescription; do
    grep -qx -- "$want" <<<"$texts" || { fail "$dll: no '$want' in its version resource"; continue 2; }
  done
  grep -q '^Quodra HTTP and WebDAV client library' <<<"$texts" && pass || fail "$dll: no description"
done
grep -q '^## Windows' "$prefix/share/doc/quodra/README-windows.md" &&
  ! grep -q '^## Performance' "$prefix/share/doc/quodra/README-windows.md" && pass ||
  fail "README-windows.md is not the README's Windows section alone"

# The zip is the same tree.
if (cd "$build" && cpack -G ZIP -B "$work/pack" >"$work/cpack.log" 2>&1); then
  zip=$(find "$work/pack" -maxdepth 1 -name 'quodra-*-windows.zip' | head -n 1)
  listed=$(cd "$work" && cmake -E tar tf "$zip" 2>/dev/null)
  missing=""
  for f in $shipped; do grep -q "/$f\$" <<<"$listed" || missing="$missing $f"; done
  [ -n "$zip" ] && [ -z "$missing" ] && pass || fail "the zip ${zip:-(none)} lacks:$missing"
else
  fail "cpack -G ZIP: $(tail -n 5 "$work/cpack.log")"
fi

bash "$root/tools/check-exports.sh" "$prefix/bin/quodra.dll" "$prefix/lib/libquodra.dll.a" &&
  pass || fail "check-exports on the installed tree"

mkdir -p "$work/app"
cat > "$work/app/app.c" <<'C'
#include <quodra.h>

int main(void) {
    /* Never run: linking is what is tried. */
    return httpGet(QUODRA_VERSION, "out", 0) + davPropfind("u", 0, "o", 1, 0) +
           davCopy("u", "d", "o", 0, 0, 0);
}
C
# The import table of a linked program: the DLL it names and the names it
# takes from it.
imports_from_quodra() {
  "$objdump" -p "$1" | sed -n '/DLL Name: quodra.dll/,/^$/p' |
    awk '$1 ~ /^[0-9a-f]+$/ && NF >= 3 {print $3}' | sort | tr '\n' ' '
}
want="davCopy davPropfind httpGet "

if "$cc" -std=c99 -Wall -Wextra -Werror -I"$prefix/include" "$work/app/app.c" \
     -L"$prefix/lib" -lquodra -o "$work/app.exe" 2>"$work/cc.log"; then
  got=$(imports_from_quodra "$work/app.exe")
  [ "$got" = "$want" ] && pass || fail "linked by hand, app.exe imports '$got' from quodra.dll, want '$want'"
else
  fail "linking with the import library: $(cat "$work/cc.log")"
fi

# The cross toolchain searches packages under its own root only, so the
# package directory is named outright.
cat > "$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(app C)
find_package(quodra CONFIG REQUIRED)
add_executable(app app.c)
target_link_libraries(app PRIVATE quodra::quodra)
CMAKE
if cmake -S "$work/app" -B "$work/app-cmake" -DCMAKE_BUILD_TYPE=Release \
     -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
     -Dquodra_DIR="$prefix/lib/cmake/quodra" >"$work/app-cmake.log" 2>&1 &&
   cmake --build "$work/app-cmake" >>"$work/app-cmake.log" 2>&1; then
  got=$(imports_from_quodra "$work/app-cmake/app.exe")
  [ "$got" = "$want" ] && pass || fail "built with find_package, app.exe imports '$got' from quodra.dll, want '$want'"
else
  fail "build with find_package: $(cat "$work/app-cmake.log")"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
