#!/usr/bin/env bash
# The quick start: installs what is needed, builds the library and the tool,
# starts a local WebDAV server (plain and over TLS) and a form-upload server
# on 127.0.0.1, and runs a real exchange of each of the exchange calls
# through `quodra`, printing what each returned, and one GET over https. The TLS
# server's certificate comes from a test CA made here, which only this
# script's https call trusts (through SSL_CERT_FILE). Everything it starts
# is stopped when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/linux  # the linux configuration of CMakePresets.json

bash tools/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "${JOBS:-2}" --target quodra_cli >/dev/null
quodra="$build/quodra"

work=$(mktemp -d /tmp/quodra-demo-XXXXXX)
dav_port=${DAV_PORT:-18080}
php_port=${PHP_PORT:-18081}
tls_port=${TLS_PORT:-18443}
cleanup() { bash tests/servers/stop-servers.sh "$work/servers" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
bash tests/servers/make-certs.sh "$work/certs"
bash tests/servers/start-servers.sh "$work/servers" "$dav_port" "$php_port" "$work/docroot" \
  "$tls_port" "$work/certs" >/dev/null

dav="http://127.0.0.1:$dav_port"
php="http://127.0.0.1:$php_port"
tls="https://localhost:$tls_port"
printf 'Hello from Quodra\n' > "$work/hello.txt"
head -c 100000 /dev/urandom > "$work/random.bin"
cat > "$work/query.xml" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<D:propfind xmlns:D="DAV:"><D:prop><D:getcontentlength/></D:prop></D:propfind>
XML
cat > "$work/note.xml" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<D:propertyupdate xmlns:D="DAV:" xmlns:Q="urn:quodra:demo"><D:set><D:prop><Q:note>said hello</Q:note></D:prop></D:set></D:propertyupdate>
XML

# Standard output is kept in $work/said (lock prints its token there).
run() {
  local what=$1; shift
  local rc=0
  "$quodra" --quiet "$@" >"$work/said" 2>"$work/err" || rc=$?
  if [ "$rc" -eq 0 ]; then
    printf '%-34s result 0: complete reply\n' "$what"
  else
    printf '%-34s %s\n' "$what" "$(sed -e 's/^quodra: [a-z]* [^ ]*: //' "$work/err" | tr '\n' ' ')"
  fi
}

echo "WebDAV server at $dav (over TLS at $tls), form server at $php"
run "OPTIONS /"                 options  "$dav/" "$work/options.out"
run "MKCOL /demo/"              mkcol    "$dav/demo/" "$work/mkcol.out"
run "PUT /demo/hello.txt"       put      "$dav/demo/hello.txt" "$work/hello.txt" "$work/put.out"
run "PUT /demo/random.bin"      put      "$dav/demo/random.bin" "$work/random.bin" "$work/put2.out"
run "GET /demo/random.bin"      get      "$dav/demo/random.bin" "$work/random.got"
run "HEAD /demo/hello.txt"      head     "$dav/demo/hello.txt" "$work/head.out"
SSL_CERT_FILE=$work/certs/ca.pem \
run "GET /demo/hello.txt over https" get  "$tls/demo/hello.txt" "$work/hello.tls"
run "PROPFIND /demo/ depth 1"   propfind "$dav/demo/" "$work/propfind.xml" --depth 1 --body "$work/query.xml"
run "PROPPATCH /demo/hello.txt" proppatch "$dav/demo/hello.txt" "$work/note.xml" "$work/proppatch.out"
run "LOCK /demo/hello.txt"      lock     --depth 0 --timeout 60 "$dav/demo/hello.txt" "$work/lock.out"
token=$(cat "$work/said")
run "PUT hello.txt, locked"     put      "$dav/demo/hello.txt" "$work/hello.txt" "$work/locked.out" --fail
run "UNLOCK /demo/hello.txt"    unlock   "$dav/demo/hello.txt" "$token" "$work/unlock.out"
# The Host line names the port, and the server matches a Destination's
# authority against it: destinations name the port too.
run "COPY hello.txt -> copy.txt" copy    "$dav/demo/hello.txt" "$dav/demo/copy.txt" "$work/copy.out"
run "MOVE copy.txt -> moved.txt" move    "$dav/demo/copy.txt" "$dav/demo/moved.txt" "$work/move.out"
run "DELETE /demo/random.bin"   delete   "$dav/demo/random.bin" "$work/delete.out"
run "POST hello.txt as a form"  post     "$php/upload.php" "$work/hello.txt" "$work/post.out"
run "GET a port nobody serves"  get      "http://127.0.0.1:9/" "$work/refused.out"

echo
if cmp -s "$work/random.bin" "$work/random.got"; then
  echo "GET returned the 100,000 bytes PUT stored, byte for byte"
else
  echo "GET did not return what PUT stored"; exit 1
fi
if cmp -s "$work/hello.txt" "$work/hello.tls"; then
  echo "GET over https returned hello.txt, its certificate checked against the demo's own CA"
else
  echo "GET over https did not return hello.txt"; exit 1
fi
echo "LOCK gave the token $token; a PUT without it was refused with a 423, as above"
echo "PROPFIND listed: $(grep -o '<D:href>[^<]*</D:href>' "$work/propfind.xml" | sed 's/<[^>]*>//g' | tr '\n' ' ')"
echo "Form server saw: $(head -c 300 "$work/post.out" | tr '\n' ' ')"
echo "Server directory now holds: $(cd "$work/docroot/demo" && ls | tr '\n' ' ')(hello.txt moved.txt expected)"
