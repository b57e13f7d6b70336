#!/usr/bin/env bash
# An installed tree serves a C program: the header compiles as C99 without
# warnings, pkg-config finds the library wherever the tree was put, and a
# call made through it runs (a refused call, so nothing goes on the network).
set -euo pipefail
build=$1
work=$(mktemp -d /tmp/quodra-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cat > "$work/client.c" <<'C'
#include <quodra.h>
#include <stdio.h>
int main(void) {
    int r = httpGet(NULL, "out", 0);
    printf("%d\n", r);
    return r == QUODRA_REFUSED ? 0 : 1;
}
C
pc=$(find "$work/prefix" -name quodra.pc)
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs quodra)
cc -std=c99 -Wall -Wextra -Werror "$work/client.c" $flags -o "$work/client"
LD_LIBRARY_PATH=$(dirname "$(find "$work/prefix" -name 'libquodra.so' | head -n 1)") "$work/client"
test -x "$work/prefix/bin/quodra"
echo "1 passed, 0 failed"
