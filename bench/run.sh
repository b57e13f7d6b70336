#!/usr/bin/env bash
# Quodra beside curl on this machine: starts its own lighttpd (static files
# and WebDAV PUT) and PHP's built-in server on free loopback ports, makes its
# files, runs bench_compare, which prints the table in Markdown, and stops
# what it started.
#
#   bash bench/run.sh [--scale F] [--runs N] [--build DIR] [--work DIR]
#
#   --scale F   multiplies the sizes (GET 1 GiB, PUT 256 MiB, form upload
#               64 MiB, TLS GET 256 MiB) and the counts of small requests;
#               default 1. CI runs
#               it at 0.001 once, to keep the benchmark working, not to judge.
#   --runs N    rounds of alternating runs behind each median; default 7.
#   --build DIR a build tree holding quodra and bench_compare; default: a
#               release build in build/bench, made (or brought up to date)
#               here with two jobs.
#   --work DIR  where the files go (about 1.4 GiB at scale 1); default: a
#               new directory under ${TMPDIR:-/tmp}, removed at the end.
#
# Needs lighttpd with mod_webdav and mod_openssl, openssl, php-cli, curl and
# libcurl's development files (bash tools/setup.sh installs them). The TLS
# items trust a test CA made here (tests/servers/make-certs.sh), given to
# Quodra as SSL_CERT_FILE and to curl as --cacert. Run it on a quiet machine: the
# client and the server share its cores.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

scale=1
runs=7
build=
work=
while [ $# -gt 0 ]; do
  case $1 in
    --scale) scale=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) echo "usage: $0 [--scale F] [--runs N] [--build DIR] [--work DIR]" >&2; exit 2 ;;
  esac
done

need() { command -v "$1" >/dev/null || { echo "bench: $1 is missing ($2)" >&2; exit 1; }; }
need curl "apt-get install curl"
need lighttpd "apt-get install lighttpd lighttpd-mod-webdav"
need php "apt-get install php-cli"
need openssl "apt-get install openssl"
moddir=${QUODRA_LIGHTTPD_MODULES:-}
for d in /usr/lib/lighttpd /usr/lib64/lighttpd /usr/local/lib/lighttpd /usr/lib/x86_64-linux-gnu/lighttpd; do
  [ -z "$moddir" ] && [ -f "$d/mod_webdav.so" ] && moddir=$d
done
[ -n "$moddir" ] || { echo "bench: lighttpd's mod_webdav is missing (apt-get install lighttpd-mod-webdav)" >&2; exit 1; }
[ -f "$moddir/mod_openssl.so" ] || { echo "bench: lighttpd's mod_openssl is missing (apt-get install lighttpd-mod-openssl)" >&2; exit 1; }

if [ -z "$build" ]; then
  build=$root/build/bench
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j 2 --target quodra_bench >/dev/null
fi
build=$(cd "$build" && pwd)
for program in quodra bench_compare bench_launch bench_client_quodra bench_client_raw; do
  [ -x "$build/$program" ] || { echo "bench: $build/$program is missing: build the target quodra_bench" >&2; exit 1; }
done
[ -x "$build/bench_client_libcurl" ] || {
  echo "bench: $build/bench_client_libcurl is missing: libcurl's development files were not found (apt-get install libcurl4-openssl-dev)" >&2
  exit 1
}

made_work=0
if [ -z "$work" ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/quodra-bench.XXXXXX")
  made_work=1
fi
mkdir -p "$work/docroot" "$work/state" "$work/php"
work=$(cd "$work" && pwd)

pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "$made_work" = 1 ]; then rm -rf "$work"; fi
}
trap finish EXIT

accepting() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {
  local port
  for _ in $(seq 1 100); do
    port=$((20000 + RANDOM % 12000))
    if ! accepting "$port" && [ "$port" != "${dav_port:-}" ] && [ "$port" != "${tls_port:-}" ] &&
       [ "$port" != "${keep_port:-}" ] && [ "$port" != "${keep_tls_port:-}" ]; then
      echo "$port"
      return
    fi
  done
  echo "bench: no free port" >&2
  exit 1
}
dav_port=$(free_port)
tls_port=$(free_port)
keep_port=$(free_port)
keep_tls_port=$(free_port)
php_port=$(free_port)

certs=$work/certs
bash "$root/tests/servers/make-certs.sh" "$certs" > "$work/state/certs.log" 2>&1 || {
  echo "bench: the test certificates could not be made" >&2
  cat "$work/state/certs.log" >&2
  exit 1
}
sed -e "s|@DOCROOT@|$work/docroot|g" -e "s|@PORT@|$dav_port|g" -e "s|@STATE@|$work/state|g" \
  -e "s|@TLSPORT@|$tls_port|g" -e "s|@CERTS@|$certs|g" \
  -e "s|@KEEPPORT@|$keep_port|g" -e "s|@KEEPTLSPORT@|$keep_tls_port|g" \
  "$here/lighttpd.conf.in" > "$work/state/lighttpd.conf"
lighttpd -D -m "$moddir" -f "$work/state/lighttpd.conf" > "$work/state/lighttpd.log" 2>&1 < /dev/null &
pids+=($!)
cp "$here/upload.php" "$work/php/upload.php"
php -n -d file_uploads=On -d upload_max_filesize=4G -d post_max_size=4G \
  -d upload_tmp_dir="$work/state" -S "127.0.0.1:$php_port" -t "$work/php" \
  > "$work/state/php.log" 2>&1 < /dev/null &
pids+=($!)
for _ in $(seq 1 200); do
  accepting "$dav_port" && accepting "$tls_port" && accepting "$php_port" &&
    accepting "$keep_port" && accepting "$keep_tls_port" && break
  sleep 0.05
done
accepting "$dav_port" && accepting "$tls_port" && accepting "$php_port" || {
  echo "bench: the servers did not come up" >&2
  cat "$work/state/"*.log >&2 || true
  exit 1
}

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
memory=$(awk '/^MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)
echo "Machine: ${cpu:-unknown CPU}, $(nproc) cores, $memory, $(uname -sr); load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Programs: $("$build/quodra" --version | head -n 1), $(curl --version | head -n 1 | cut -d' ' -f1-2), $(lighttpd -v 2>&1 | head -n 1 | cut -d' ' -f1), PHP $(php -n -r 'echo PHP_VERSION;')"
SSL_CERT_FILE=$certs/ca.pem "$build/bench_compare" --dav "http://127.0.0.1:$dav_port" \
  --tls "https://127.0.0.1:$tls_port" --cacert "$certs/ca.pem" \
  --kept "http://127.0.0.1:$keep_port" --kept-tls "https://127.0.0.1:$keep_tls_port" \
  --php "http://127.0.0.1:$php_port/upload.php" \
  --docroot "$work/docroot" --work "$work" --quodra "$build/quodra" --scale "$scale" --runs "$runs"
echo
echo "Load after: $(cut -d' ' -f1-3 /proc/loadavg)"
