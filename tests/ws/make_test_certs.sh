#!/bin/sh
# Makes the certificates of the TLS tests in DIR with the openssl command line: a CA and a
# second, unrelated CA; server certificates signed by the CA for localhost/127.0.0.1 (good),
# for another name (wrong_name), with dates in the past (expired) and naming localhost only in
# its CN (cn_only); one self-signed.
set -eu
cd "$1"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
ca() {
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 3 -subj "/CN=$1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}
ca ca
ca other_ca
printf 'basicConstraints=CA:FALSE\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n' > good.ext
printf 'basicConstraints=CA:FALSE\nsubjectAltName=DNS:pool.invalid\n' > wrong.ext
signed() {  # name ext
  key "$1.key"
  openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$1"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$1.pem" -days 3 \
    -extfile "$2" 2>/dev/null
}
signed good good.ext
signed wrong_name wrong.ext
key cn_only.key
openssl req -new -key cn_only.key -out cn_only.csr -subj /CN=localhost
printf 'basicConstraints=CA:FALSE\n' > cn_only.ext
openssl x509 -req -in cn_only.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out cn_only.pem -days 3 \
  -extfile cn_only.ext 2>/dev/null
# Past dates need "openssl ca"; x509 -req only counts days from now.
key expired.key
openssl req -new -key expired.key -out expired.csr -subj /CN=localhost
printf '[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\ndefault_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n' > ca.cnf
: > index.txt
echo 1000 > serial
openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20200102000000Z -extfile good.ext -notext 2>/dev/null
key self.key
openssl req -x509 -new -key self.key -out self.pem -days 3 -subj /CN=localhost \
  -addext subjectAltName=DNS:localhost,IP:127.0.0.1
