#!/usr/bin/env bash
# km-sign and the signing order km-publish enforces, with throw-away certificates made here:
# what km-sign signs verifies against its root, and an unsigned, tampered or foreign-signed file
# does not; km-publish lists a signed Launcher.exe and refuses an unsigned one.
#   sign_test.sh <tools dir>
# Exit code 77 (skipped) without osslsigncode or the mingw-w64 compiler (to make a Windows
# program to sign).
set -uo pipefail
tools=$(cd "$1" && pwd)
command -v osslsigncode >/dev/null || { echo "SKIP: osslsigncode is not installed"; exit 77; }
cc=$(command -v x86_64-w64-mingw32-gcc-posix || command -v x86_64-w64-mingw32-gcc) ||
    { echo "SKIP: no mingw-w64 compiler"; exit 77; }

failures=0
check() {  # check <description> <command...>
    local what=$1
    shift
    if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; failures=$((failures + 1)); fi
}
fails() { ! "$@"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo 'int main(void) { return 0; }' | "$cc" -x c - -o program.exe
# A root and the code-signing certificate it issued (PEM and PKCS#12 with a passphrase), and an
# unrelated root.
ca() {  # ca <name>
    openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=$1" -keyout "$1.key" \
        -out "$1.pem" 2>/dev/null
}
ca root && ca stranger
openssl req -newkey rsa:2048 -nodes -subj "/CN=Keldmoor Test Publisher" -keyout signer.key \
    -out signer.csr 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n' >signer.ext
openssl x509 -req -in signer.csr -CA root.pem -CAkey root.key -CAcreateserial -days 1 \
    -extfile signer.ext -out signer.pem 2>/dev/null
echo 'correct horse' >pass.txt
openssl pkcs12 -export -inkey signer.key -in signer.pem -passout file:pass.txt -out signer.p12
echo 'wrong horse' >wrong.txt

verifies() { osslsigncode verify -CAfile "${2:-root.pem}" -in "$1" >/dev/null 2>&1; }
signed_copy() {  # signed_copy <name> <km-sign options...>
    local name=$1
    shift
    cp program.exe "$name" && "$tools/km-sign" --ca-file root.pem "$@" "$name" >/dev/null 2>&1
}
nothing_left() { ! compgen -G '*.km-sign.*' >/dev/null; }

check "an unsigned program does not verify" fails verifies program.exe
check "km-sign with a PEM key and certificate" signed_copy pem.exe --key signer.key --cert signer.pem
check "  verifies against its root" verifies pem.exe
check "  does not verify against another root" fails verifies pem.exe stranger.pem
check "km-sign with PKCS#12 and a passphrase file" \
    signed_copy p12.exe --pkcs12 signer.p12 --password-file pass.txt
check "  verifies against its root" verifies p12.exe
sign_again() {
    "$tools/km-sign" --pkcs12 signer.p12 --password-file pass.txt --ca-file root.pem "$@" \
        >/dev/null 2>&1
}
cp p12.exe before.exe
check "a signed file is refused" fails sign_again p12.exe
check "  and left as it was" cmp -s before.exe p12.exe
check "signing it again with --replace" sign_again --replace p12.exe
check "  leaves one signature that verifies" \
    test "$(osslsigncode verify -CAfile root.pem -in p12.exe 2>&1 | grep -c '^Signature Index')" = 1
cp pem.exe tampered.exe
size=$(stat -c %s tampered.exe)
printf '\x90' | dd of=tampered.exe bs=1 seek=$((size / 3)) conv=notrunc status=none
check "a signed program changed afterwards does not verify" fails verifies tampered.exe
check "a wrong passphrase fails" fails signed_copy wrong.exe --pkcs12 signer.p12 --password-file wrong.txt
check "  and leaves the file as it was" cmp -s program.exe wrong.exe
"$tools/km-sign" program.exe >/dev/null 2>&1
check "no certificate is a usage error (exit 2)" test $? = 2

# The signed copy is checked before it replaces the original: a certificate of a CA that
# neither the system nor --ca-file vouches for, a copy damaged after signing, and a copy signed
# by another certificate (one the same CA vouches for: here the root's own) are each left unused,
# and nothing of the run stays behind.
check "a certificate of an unknown CA fails the check after signing" \
    fails signed_copy unknown.exe --key signer.key --cert signer.pem --ca-file stranger.pem
check "  and leaves the file as it was" cmp -s program.exe unknown.exe
real=$(command -v osslsigncode)
mkdir shim
# osslsigncode as km-sign calls it, with the fault $KM_SHIM planted in "sign".
cat >shim/osslsigncode <<SHIM
#!/usr/bin/env bash
[ "\$1" = sign ] || exec "$real" "\$@"
out=\${@: -1}
case \$KM_SHIM in
    hang) : >"\$out"; exec sleep 60 ;;
    stranger) exec "$real" sign -certs "$work/root.pem" -key "$work/root.key" -h sha256 \\
        -in "\${@: -3:1}" -out "\$out" ;;
esac
"$real" "\$@" || exit
printf '\\x90' | dd of="\$out" bs=1 seek=4096 conv=notrunc status=none
SHIM
chmod +x shim/osslsigncode
faulty_sign() {  # faulty_sign <fault> <name>
    cp program.exe "$2" &&
        KM_SHIM=$1 PATH=$work/shim:$PATH "$tools/km-sign" --key signer.key --cert signer.pem \
            --ca-file root.pem "$2" >/dev/null 2>&1
}
for fault in damaged stranger; do
    check "a $fault signed copy is refused" fails faulty_sign "$fault" "$fault.exe"
    check "  and the file left as it was" cmp -s program.exe "$fault.exe"
done
check "  with nothing left behind" nothing_left
# Ctrl-C while osslsigncode runs: the whole process group is interrupted.
cp program.exe interrupted.exe
# (A background job of a script starts with SIGINT ignored: give it back its default.)
KM_SHIM=hang PATH=$work/shim:$PATH setsid env --default-signal=INT "$tools/km-sign" \
    --key signer.key --cert signer.pem --ca-file root.pem interrupted.exe >/dev/null 2>&1 &
for _ in $(seq 100); do
    compgen -G 'interrupted.exe.km-sign.*/signed' >/dev/null && break
    sleep 0.1
done
kill -INT -- -$!
wait $!
check "an interrupted km-sign exits with 130" test $? = 130
check "  leaves the file as it was" cmp -s program.exe interrupted.exe
check "  and nothing of its own behind" nothing_left

# km-publish lists Launcher.exe only once it is signed.
"$tools/km-keygen" --from-seed 9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60 \
    dev.pem >/dev/null 2>&1
publish() {  # publish <Launcher.exe to publish> [km-publish options...]
    rm -rf release content && mkdir release && cp "$1" release/Launcher.exe && shift &&
        "$tools/km-publish" --key dev.pem --allow-test-key --version 1.0.0 --from release \
            --to content "$@" \
            >publish.out 2>&1
}
check "km-publish refuses an unsigned Launcher.exe" fails publish program.exe
check "  names km-sign" grep -q km-sign publish.out
check "  and writes nothing" test ! -e content
check "km-publish publishes a signed Launcher.exe" publish pem.exe
check "  whose listed hash is the signed file's" \
    grep -q "\"sha256\":\"$(sha256sum pem.exe | cut -d' ' -f1)\"" content/update.manifest.json
head -c $((size - 100)) pem.exe >truncated.exe
check "km-publish refuses a Launcher.exe whose signature was cut off" fails publish truncated.exe
check "--allow-unsigned Launcher.exe publishes an unsigned one" \
    publish program.exe --allow-unsigned Launcher.exe

if [ $failures -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
