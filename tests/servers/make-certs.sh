#!/usr/bin/env bash
# Makes a test CA and the server certificates the TLS tests use, in DIR:
#   ca.pem                the test CA, to be trusted through SSL_CERT_FILE (or,
#                         under Wine, the prefix's own root store); ca.der too
#   server.pem/.key       signed by the CA for localhost, 127.0.0.1, ::1 and
#                         ::ffff:127.0.0.1
#   other.pem/.key        signed by the CA for another name only
#   expired.pem/.key      signed by the CA for localhost and 127.0.0.1, but
#                         valid only in January 2020
#   rogue.pem/.key        self-signed for localhost and 127.0.0.1: untrusted
#   cn-only.pem/.key      signed by the CA with localhost as its subject's
#                         common name and no alternative names: names nothing
#   server-bundle.pem     server.pem and its key in one file (lighttpd)
# Each .pem holds the certificate alone; nothing is trusted system-wide.
#
#   make-certs.sh DIR
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
command -v openssl >/dev/null || { echo "make-certs: openssl is missing (package openssl)" >&2; exit 1; }
mkdir -p "$1"
dir=$(cd "$1" && pwd)
cd "$dir"

quiet() { "$@" > "$dir/openssl.log" 2>&1 || { cat "$dir/openssl.log" >&2; exit 1; }; }

# RSA throughout: every TLS stack the tests meet (Wine's included) reads it.
quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ca.key
quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out server.key
quiet openssl req -x509 -new -key ca.key -out ca.pem -days 30 -subj "/CN=Quodra Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -addext "subjectKeyIdentifier=hash"
quiet openssl x509 -in ca.pem -outform DER -out ca.der

cat > leaf.ext <<'EOF'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
authorityKeyIdentifier=keyid
EOF
sign() {  # name subject-alt-names [extra ca arguments...]
  local name=$1 san=$2
  shift 2
  [ "$name" = server ] || cp server.key "$name.key"
  quiet openssl req -new -key "$name.key" -out "$name.csr" -subj "/CN=${name}"
  { cat leaf.ext; echo "subjectAltName=$san"; } > "$name.ext"
  quiet openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -set_serial "0x$(openssl rand -hex 8)" \
    -extfile "$name.ext" -out "$name.pem" "$@"
}
sign server "DNS:localhost,IP:127.0.0.1,IP:::1,IP:::ffff:127.0.0.1" -days 30
sign other "DNS:other.invalid" -days 30

# A validity wholly in the past needs explicit dates, which only `openssl ca`
# takes in this OpenSSL.
mkdir -p ca-db
: > ca-db/index.txt
cat > ca.cnf <<EOF
[ca]
default_ca = test
[test]
database = $dir/ca-db/index.txt
new_certs_dir = $dir/ca-db
serial = $dir/ca-db/serial
default_md = sha256
policy = anything
copy_extensions = none
unique_subject = no
[anything]
commonName = supplied
EOF
openssl rand -hex 8 > ca-db/serial
cp server.key expired.key
quiet openssl req -new -key expired.key -out expired.csr -subj "/CN=expired"
{ cat leaf.ext; echo "subjectAltName=DNS:localhost,IP:127.0.0.1"; } > expired.ext
quiet openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20200131000000Z -extfile expired.ext -notext

# The host in the subject's common name alone, which names no host (RFC 9525).
cp server.key cn-only.key
quiet openssl req -new -key cn-only.key -out cn-only.csr -subj "/CN=localhost"
quiet openssl x509 -req -in cn-only.csr -CA ca.pem -CAkey ca.key -set_serial "0x$(openssl rand -hex 8)" \
  -extfile leaf.ext -out cn-only.pem -days 30

cp server.key rogue.key
quiet openssl req -x509 -new -key rogue.key -out rogue.pem -days 30 -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -addext "extendedKeyUsage=serverAuth"

cat server.pem server.key > server-bundle.pem
rm -f ./*.csr ./*.ext leaf.ext openssl.log
