#!/bin/sh
# Writes the certificates the TLS tests use into DIR (created if missing):
#   ca.pem ca.key               a test CA
#   server.pem server.key       for localhost, 127.0.0.1 and ::1, issued by the CA
#   other.pem other.key         for other.example.net only, issued by the CA
#   expired.pem expired.key     for localhost and 127.0.0.1, issued by the CA, expired in 2020
#   self.pem self.key           for localhost and 127.0.0.1, signed by itself
#   client.pem client.key       a client certificate issued by the CA
#   stunnel-*.pem               certificate and key in one file, as stunnel reads them
# Keys are P-256: quick to make and to use. Usage: make_certs.sh DIR
set -eu
dir=${1:?usage: make_certs.sh DIR}
mkdir -p "$dir"
cd "$dir"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }

key ca
openssl req -x509 -new -key ca.key -subj "/CN=kestrel test CA" -days 30 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  -out ca.pem

# issue NAME SUBJECT-CN SAN
issue() {
  key "$1"
  openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\n' "$3" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}
issue server localhost "DNS:localhost,IP:127.0.0.1,IP:::1"
issue other other.example.net "DNS:other.example.net"
issue client "kestrel test client" "DNS:client.invalid"

# Expired: `openssl ca` is the tool of OpenSSL 3.0 that takes explicit start and end dates.
key expired
openssl req -new -key expired.key -subj "/CN=localhost" -out expired.csr
mkdir -p ca.db && : >ca.db/index.txt && echo 01 >ca.db/serial
cat >ca.cnf <<CNF
[ca]
default_ca = test
[test]
dir = ca.db
database = ca.db/index.txt
serial = ca.db/serial
new_certs_dir = ca.db
default_md = sha256
policy = any
copy_extensions = none
x509_extensions = leaf
[any]
commonName = supplied
[leaf]
subjectAltName = DNS:localhost,IP:127.0.0.1
basicConstraints = CA:FALSE
CNF
openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
  -startdate 20190101000000Z -enddate 20200101000000Z -notext 2>/dev/null
rm -f ./*.csr ./*.ext

key self
openssl req -x509 -new -key self.key -subj "/CN=localhost" -days 30 \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -out self.pem

for n in server other expired self; do cat "$n.pem" "$n.key" >"stunnel-$n.pem"; done
chmod 600 ./*.key stunnel-*.pem
