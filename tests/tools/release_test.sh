#!/usr/bin/env bash
# scripts/release with a throwaway code-signing certificate made here: every shipped executable
# is signed with SHA-256 and verifies against the certificate's CA, the signed launcher
# still opens its window and ends its pass, a wrong password or a foreign CA fails the release,
# and without a certificate the executables are copied unsigned and the script says so.
# release_test.sh SOURCE_DIR BUILD_DIR, with the build's Wine prefix and a display.
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d)
launcher_pid=
cleanup() {
    [ -n "$launcher_pid" ] && kill "$launcher_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
shipped=(Hopwell hopwell-publish hopwell-fetch hopwell-unzip hopwell-pass)

for who in ca other; do
    openssl req -x509 -newkey rsa:2048 -nodes -keyout $who.key -out $who.pem -days 2 \
        -subj "/CN=Hopwell test $who" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign 2>/dev/null
done
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
    -subj "/CN=Hopwell test signer" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >ext.cnf
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile ext.cnf -out signer.pem 2>/dev/null
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem \
    -passout 'pass:test pass' -out signer.pfx

release() { HOPWELL_RELEASE_DIR="$work/$1" "$src/scripts/release" >"$work/$1.log" 2>&1; }

HOPWELL_SIGN_PFX=signer.pfx HOPWELL_SIGN_PASSWORD='test pass' HOPWELL_SIGN_CAFILE=ca.pem \
    release signed || { cat signed.log; fail "the signed release failed"; }
for name in "${shipped[@]}"; do
    exe=signed/$name.exe
    osslsigncode verify -CAfile ca.pem -in "$exe" >verify.log 2>&1 || { cat verify.log; fail "$exe"; }
    grep -q "Message digest algorithm *: SHA256" verify.log || fail "$exe: not SHA-256"
    grep -q "Signature verification: ok" verify.log || fail "$exe: not verified"
done

# Signed by a certificate the verification does not trust: refused, nothing left in place.
if HOPWELL_SIGN_PFX=signer.pfx HOPWELL_SIGN_PASSWORD='test pass' HOPWELL_SIGN_CAFILE=other.pem \
    release foreign; then fail "a signature that does not verify was shipped"; fi
grep -q "does not verify" foreign.log || { cat foreign.log; fail "no reason given"; }
[ ! -e foreign/Hopwell.exe ] || fail "an unverified Hopwell.exe was left"
if HOPWELL_SIGN_PFX=signer.pfx HOPWELL_SIGN_PASSWORD=wrong HOPWELL_SIGN_CAFILE=ca.pem \
    release wrong; then fail "a wrong password signed"; fi
[ ! -e wrong/Hopwell.exe ] || fail "an unsigned Hopwell.exe was left by a failed signing"

(unset HOPWELL_SIGN_PFX; release unsigned) || { cat unsigned.log; fail "the unsigned release failed"; }
grep -q "UNSIGNED" unsigned.log || fail "the unsigned release did not say so"
for name in "${shipped[@]}"; do
    cmp -s "unsigned/$name.exe" "$build/bin/$name.exe" || fail "unsigned/$name.exe differs"
done

# The signed launcher in a fresh application directory: its window opens, its pass against the
# product's own (unreachable) manifest URL ends, and it closes.
mkdir app
cp signed/Hopwell.exe app/
export WINEDEBUG=-all
(cd app && exec wine Hopwell.exe) >/dev/null 2>&1 &
launcher_pid=$!
driver() { wine "$build/bin/hopwell-driver.exe" "$@"; }
driver wait-window 30000 >/dev/null || fail "the signed launcher showed no window"
driver wait-enabled 120000 >/dev/null || fail "the signed launcher's pass did not end"
driver state | grep -qx "Không thể lấy thông tin phiên bản từ server." ||
    fail "the signed launcher's pass ended otherwise"
driver close >/dev/null
driver wait-closed 20000 >/dev/null || fail "the signed launcher did not close"
wait "$launcher_pid" || true
launcher_pid=
echo "signed, verified and run: ${shipped[*]}"
