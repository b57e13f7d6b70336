#!/usr/bin/env bash
# Starts the servers the whole-call tests and the quick start talk to, in
# the background, on 127.0.0.1:
#   - lighttpd with WebDAV on DOCROOT (default STATE/docroot), port DAV_PORT
#     (also on [::1])
#   - PHP's built-in server running upload.php, port PHP_PORT
#   - with TLS_PORT and CERTS (a folder make-certs.sh filled): a second
#     lighttpd on the same DOCROOT speaking TLS, port TLS_PORT
# Both lighttpd servers also ask for credentials under /basic/ (Basic),
# /md5/ and /sha/ (Digest with MD5 and SHA-256), for the user "quodra" with
# the password "s3cret:pass" (written to STATE/htdigest), and redirect as
# lighttpd-auth.conf.in says (/r302/PATH to /PATH, /to?URL to URL, ...).
# STATE receives the configuration, the logs and the pid files
# (lighttpd.pid, php.pid, lighttpd-tls.pid) that stop-servers.sh reads.
#
#   start-servers.sh STATE DAV_PORT PHP_PORT [DOCROOT [TLS_PORT CERTS]]
#
# Prints the base URLs; exits non-zero (with the logs) when a server does
# not accept within 10 seconds, after stopping what it started.
set -euo pipefail

if [ $# -lt 3 ] || [ $# -gt 6 ] || [ $# -eq 5 ]; then
  echo "usage: $0 STATE DAV_PORT PHP_PORT [DOCROOT [TLS_PORT CERTS]]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
state=$(cd "$1" && pwd)
dav_port=$2
php_port=$3
docroot=${4:-$state/docroot}
tls_port=${5:-}
certs=${6:-}
mkdir -p "$docroot" "$state/php-uploads"
docroot=$(cd "$docroot" && pwd)
ports=("$dav_port" "$php_port")
if [ -n "$tls_port" ]; then
  certs=$(cd "$certs" && pwd)
  [ -f "$certs/server.pem" ] || { echo "start-servers: $certs/server.pem is missing (make-certs.sh)" >&2; exit 1; }
  ports+=("$tls_port")
fi

accepting() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

for port in "${ports[@]}"; do
  if accepting "$port"; then
    echo "start-servers: something already listens on 127.0.0.1:$port" >&2
    exit 1
  fi
done

moddir=${QUODRA_LIGHTTPD_MODULES:-}
if [ -z "$moddir" ]; then
  for d in /usr/lib/lighttpd /usr/lib64/lighttpd /usr/local/lib/lighttpd /usr/lib/x86_64-linux-gnu/lighttpd; do
    if [ -f "$d/mod_webdav.so" ]; then moddir=$d; break; fi
  done
fi
if [ -z "$moddir" ] || ! command -v lighttpd >/dev/null; then
  echo "start-servers: lighttpd with mod_webdav is missing (apt-get install lighttpd lighttpd-mod-webdav)" >&2
  exit 1
fi
if [ -n "$tls_port" ] && [ ! -f "$moddir/mod_openssl.so" ]; then
  echo "start-servers: lighttpd's mod_openssl is missing (apt-get install lighttpd-mod-openssl)" >&2
  exit 1
fi
if ! command -v php >/dev/null; then
  echo "start-servers: php is missing (apt-get install php-cli)" >&2
  exit 1
fi

# user:realm:hash, once with MD5 and once with SHA-256.
secret='quodra:quodra:s3cret:pass'
{
  printf 'quodra:quodra:%s\n' "$(printf '%s' "$secret" | md5sum | cut -d' ' -f1)"
  printf 'quodra:quodra:%s\n' "$(printf '%s' "$secret" | sha256sum | cut -d' ' -f1)"
} > "$state/htdigest"

cat "$here/lighttpd-webdav.conf.in" "$here/lighttpd-auth.conf.in" |
  sed -e "s|@DOCROOT@|$docroot|g" -e "s|@PORT@|$dav_port|g" -e "s|@LOGDIR@|$state|g" \
  > "$state/lighttpd.conf"

nohup lighttpd -D -m "$moddir" -f "$state/lighttpd.conf" \
  > "$state/lighttpd.log" 2>&1 < /dev/null &
echo $! > "$state/lighttpd.pid"

if [ -n "$tls_port" ]; then
  cat "$here/lighttpd-webdav.conf.in" "$here/lighttpd-tls.conf.in" "$here/lighttpd-auth.conf.in" |
    sed -e "s|@DOCROOT@|$docroot|g" -e "s|@PORT@|$tls_port|g" -e "s|@LOGDIR@|$state|g" \
        -e "s|@CERTS@|$certs|g" -e "s|lighttpd-error.log|lighttpd-tls-error.log|" \
        -e "s|access.log|lighttpd-tls-access.log|" > "$state/lighttpd-tls.conf"
  nohup lighttpd -D -m "$moddir" -f "$state/lighttpd-tls.conf" \
    > "$state/lighttpd-tls.log" 2>&1 < /dev/null &
  echo $! > "$state/lighttpd-tls.pid"
fi

nohup php -n -d file_uploads=On -d upload_max_filesize=64M -d post_max_size=64M \
  -d upload_tmp_dir="$state/php-uploads" -S "127.0.0.1:$php_port" -t "$here" \
  > "$state/php.log" 2>&1 < /dev/null &
echo $! > "$state/php.pid"

all_accepting() {
  local port
  for port in "${ports[@]}"; do accepting "$port" || return 1; done
}
for i in $(seq 1 200); do
  if all_accepting; then
    echo "dav http://127.0.0.1:$dav_port/"
    echo "php http://127.0.0.1:$php_port/upload.php"
    [ -z "$tls_port" ] || echo "tls https://127.0.0.1:$tls_port/"
    exit 0
  fi
  sleep 0.05
done

echo "start-servers: the servers did not come up; logs follow" >&2
cat "$state"/lighttpd*.log "$state/php.log" >&2 2>/dev/null || true
bash "$here/stop-servers.sh" "$state" || true
exit 1
