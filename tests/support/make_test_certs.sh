#!/usr/bin/env bash
# Makes a test CA and the server certificates the HTTPS tests present, in OUT_DIR (fresh keys
# every run; nothing is added to any trust store: the tests point SSL_CERT_FILE, or a Wine
# prefix of their own, at ca.pem).
#   ca.pem                  the CA the tests trust
#   trusted.pem/.key        127.0.0.1, issued by that CA
#   wrong_name.pem/.key     127.0.0.9 only, issued by that CA
# (each address also as a DNS name: Wine's crypt32 matches a host against DNS names only)
#   expired.pem/.key        127.0.0.1, issued by that CA, valid only in 2020
#   unknown_issuer.pem/.key 127.0.0.1, issued by another CA nobody trusts
#   self_signed.pem/.key    127.0.0.1, its own issuer
# Usage: make_test_certs.sh OUT_DIR
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
ca() {  # name
    key "$1.key"
    openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 30 -subj "/CN=Keldmoor test $1" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}
# name issuer san [start end]: openssl ca writes exactly the dates asked for, past ones included.
leaf() {
    key "$1.key"
    openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$1"
    mkdir -p "db-$2"
    : >"db-$2/index.txt"
    printf '[ca]\ndefault_ca=c\n[c]\ndatabase=db-%s/index.txt\nnew_certs_dir=db-%s\nserial=db-%s/serial\n' \
        "$2" "$2" "$2" >"$1.cnf"
    printf 'default_md=sha256\npolicy=p\ncopy_extensions=none\nunique_subject=no\n[p]\ncommonName=supplied\n' >>"$1.cnf"
    printf '[x]\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' \
        "$3" >>"$1.cnf"
    [ -f "db-$2/serial" ] || openssl rand -hex 8 >"db-$2/serial"
    local dates=(-days 30)
    [ $# -lt 5 ] || dates=(-startdate "$4" -enddate "$5")
    openssl ca -batch -config "$1.cnf" -extensions x -cert "$2.pem" -keyfile "$2.key" \
        -in "$1.csr" -out "$1.pem" -notext "${dates[@]}" 2>/dev/null
}
ca ca
ca other_ca
leaf trusted ca "IP:127.0.0.1,DNS:127.0.0.1"
leaf wrong_name ca "IP:127.0.0.9,DNS:127.0.0.9"
leaf expired ca "IP:127.0.0.1" 20200101000000Z 20200201000000Z
leaf unknown_issuer other_ca "IP:127.0.0.1"
key self_signed.key
openssl req -x509 -new -key self_signed.key -out self_signed.pem -days 30 -subj /CN=self_signed \
    -addext subjectAltName=IP:127.0.0.1
