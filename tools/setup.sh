#!/usr/bin/env bash
# Installs what building and testing Quodra needs on a Debian machine:
# the compilers and test libraries, the servers the tests talk to, the
# Windows cross compilers, Wine and a virtual display. Idempotent.
set -euo pipefail

packages=(
  build-essential cmake pkg-config libgtest-dev
  lighttpd lighttpd-mod-webdav php-cli
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 xvfb xauth
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# The lighttpd package starts a system-wide server on port 80; the tests
# start their own on free ports and need nothing from it.
if command -v systemctl >/dev/null && systemctl is-active --quiet lighttpd 2>/dev/null; then
  systemctl stop lighttpd || true
fi
echo "setup: ready"
