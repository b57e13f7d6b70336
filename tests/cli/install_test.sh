#!/usr/bin/env bash
# An installed tree serves its users wherever it was put. The tree is
# installed with --prefix and then moved, and from the moved tree:
#   - the tool runs from bin/ without LD_LIBRARY_PATH and tells the version,
#     and its man page is in share/man/man1 and renders without warnings;
#   - the library's SONAME carries the major version;
#   - a C program builds with pkg-config's flags and with CMake's
#     find_package(quodra CONFIG) and quodra::quodra; the header compiles as
#     C99 without warnings, QUODRA_VERSION is the project's version, and a
#     call made through the library runs (a refused one: nothing goes on the
#     network);
#   - find_package asking for the next major version is turned down.
#
#   install_test.sh BUILD_DIR VERSION LIBDIR
set -uo pipefail
build=$1
version=$2
libdir=$3
major=${version%%.*}
work=$(mktemp -d /tmp/quodra-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL $*"; }

cmake --install "$build" --prefix "$work/staged" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "0 passed, 1 failed"; exit 1; }
mv "$work/staged" "$work/moved"
prefix=$work/moved

# ---- the tool ---------------------------------------------------------------------
got=$(env -u LD_LIBRARY_PATH "$prefix/bin/quodra" --version 2>&1)
[ "$got" = "quodra $version" ] && pass || fail "installed tool: '$got', want 'quodra $version'"

man=$prefix/share/man/man1/quodra.1
if [ ! -f "$man" ]; then
  fail "no man page at $man"
elif command -v groff >/dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$man" 2>&1)
  [ -z "$warnings" ] && pass || fail "the man page does not render cleanly: $warnings"
else
  pass
fi

soname=$(readelf -d "$prefix/$libdir/libquodra.so" 2>&1 | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libquodra.so.$major" ] && pass || fail "SONAME '$soname', want libquodra.so.$major"

# ---- a C program ------------------------------------------------------------------
mkdir -p "$work/client"
cat > "$work/client/client.c" <<'C'
#include <quodra.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    char numbers[32];
    snprintf(numbers, sizeof numbers, "%d.%d.%d", QUODRA_VERSION_MAJOR,
             QUODRA_VERSION_MINOR, QUODRA_VERSION_PATCH);
    if (argc != 2 || strcmp(argv[1], QUODRA_VERSION) != 0 ||
        strcmp(numbers, QUODRA_VERSION) != 0) {
        printf("QUODRA_VERSION %s, numbers %s\n", QUODRA_VERSION, numbers);
        return 1;
    }
    int r = httpGet(NULL, "out", 0);
    if (r != QUODRA_REFUSED) printf("httpGet(NULL, ...) gave %d\n", r);
    return r == QUODRA_REFUSED ? 0 : 1;
}
C

# pkg-config: flags from the moved tree's quodra.pc.
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
flags=$(pkg-config --cflags --libs quodra)
case $flags in
  *"-I$prefix/"*"-L$prefix/"*) pass ;;
  *) fail "pkg-config flags do not point into the moved tree: $flags" ;;
esac
modversion=$(pkg-config --modversion quodra)
[ "$modversion" = "$version" ] && pass || fail "pkg-config version '$modversion', want $version"
# shellcheck disable=SC2086
if cc -std=c99 -Wall -Wextra -Werror "$work/client/client.c" $flags -o "$work/client-pc" 2>"$work/cc.log"; then
  LD_LIBRARY_PATH=$prefix/$libdir "$work/client-pc" "$version" && pass || fail "program built with pkg-config"
else
  fail "build with pkg-config: $(cat "$work/cc.log")"
fi

# find_package: a CMake project of its own, linked to quodra::quodra. CMake
# puts the imported library's directory in the build RPATH, so it runs as is.
cat > "$work/client/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(client C)
find_package(quodra ${WANT} CONFIG REQUIRED)
string(FIND "${quodra_DIR}" "${EXPECT_PREFIX}/" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "found quodra in ${quodra_DIR}, not in ${EXPECT_PREFIX}")
endif()
add_executable(client client.c)
set_target_properties(client PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(client PRIVATE -Wall -Wextra -Werror)
target_link_libraries(client PRIVATE quodra::quodra)
CMAKE
configure() {  # build dir, wanted version
  cmake -S "$work/client" -B "$1" -DWANT="$2" -DCMAKE_PREFIX_PATH="$prefix" \
    -DEXPECT_PREFIX="$prefix" >"$1.log" 2>&1
}
if configure "$work/client-cmake" "$version" &&
   cmake --build "$work/client-cmake" >>"$work/client-cmake.log" 2>&1; then
  env -u LD_LIBRARY_PATH "$work/client-cmake/client" "$version" && pass || fail "program built with find_package"
else
  fail "build with find_package: $(cat "$work/client-cmake.log")"
fi
if configure "$work/client-next" "$((major + 1)).0"; then
  fail "find_package accepted a request for version $((major + 1)).0"
elif grep -q "$version" "$work/client-next.log"; then
  pass
else
  fail "find_package of version $((major + 1)).0 failed for another reason: $(cat "$work/client-next.log")"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
