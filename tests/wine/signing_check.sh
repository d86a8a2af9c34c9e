#!/usr/bin/env bash
# The signing hook on the shipped files: a throw-away certificate made with openssl,
# cmake/sign.sh run over copies of every shipped binary and the package, as the build
# runs it when given a certificate, and osslsigncode verify on each. An unsigned file
# must fail the same verification.
# usage: signing_check.sh OSSLSIGNCODE FILE...
set -u
tool=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0
fail() { echo "signing_check: FAIL: $*"; fails=$((fails + 1)); }

openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=PX71 test signer" \
    -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 || { echo "openssl could not make a certificate"; exit 1; }
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:'a pass phrase' \
    -out "$work/signer.pfx" >/dev/null 2>&1 || { echo "openssl could not make the .pfx"; exit 1; }

verify() { "$tool" verify -CAfile "$work/cert.pem" -in "$1" 2>&1 | grep -q '^Signature verification: ok'; }

copies=()
for f; do
    cp "$f" "$work/" || fail "cannot copy $f"
    copies+=("$work/$(basename "$f")")
done
verify "${copies[0]}" && fail "an unsigned $(basename "${copies[0]}") passed verification"
PX71_SIGN_PASSWORD='a pass phrase' "$(dirname "$0")/../../cmake/sign.sh" "$tool" "$work/signer.pfx" "${copies[@]}" ||
    fail "sign.sh failed"
for c in "${copies[@]}"; do
    verify "$c" && echo "signed and verified: $(basename "$c")" || fail "$(basename "$c") does not verify"
done
# A wrong password signs nothing and says why.
cp "$1" "$work/again" && ! PX71_SIGN_PASSWORD=wrong "$(dirname "$0")/../../cmake/sign.sh" "$tool" "$work/signer.pfx" \
    "$work/again" 2>/dev/null && ! verify "$work/again" || fail "a wrong password signed $(basename "$1")"
[ $fails -eq 0 ] && echo "signing_check: passed" || echo "signing_check: $fails failures"
exit $((fails > 0))
