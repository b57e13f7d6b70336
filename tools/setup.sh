#!/usr/bin/env bash
# Installs what building and testing Quodra needs on a Debian machine:
# the compilers and test libraries (clang and its libFuzzer runtime for the
# fuzz targets), the servers the tests talk to (tinyproxy-bin is the forward
# proxy's program alone: no service of its own is installed or started),
# Python (its multipart reader
# checks the form upload), curl and libcurl's
# development files (the benchmark's yardstick, never linked by the
# library), the Windows cross compilers, Wine and a virtual display.
# Idempotent.
set -euo pipefail

packages=(
  build-essential cmake pkg-config libgtest-dev libssl-dev openssl clang-14 libclang-rt-14-dev
  lighttpd lighttpd-mod-webdav lighttpd-mod-openssl apache2 php-cli python3 curl libcurl4-openssl-dev
  tinyproxy-bin
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
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# The lighttpd and apache2 packages start system-wide servers on port 80
# where an init system lets them; the tests start their own on free ports and
# need nothing from them.
for service in lighttpd apache2; do
  if command -v systemctl >/dev/null && systemctl is-active --quiet "$service" 2>/dev/null; then
    systemctl stop "$service" || true
  fi
done
# Without systemd (as in CI) Apache may still have been started by its init
# script; its pid file tells. Stopping what is not running fails harmlessly.
if [ -f /var/run/apache2/apache2.pid ]; then
  service apache2 stop >/dev/null 2>&1 || apache2ctl stop >/dev/null 2>&1 || true
fi
echo "setup: ready"
