#!/usr/bin/env bash
# Signs each FILE in place (a PE file or an MSI) with the PKCS#12 certificate PFX and a
# SHA-256 digest. The password is read from PX71_SIGN_PASSWORD and handed to osslsigncode
# on its standard input, never on a command line. With PX71_SIGN_TIMESTAMP_URL, an RFC
# 3161 time-stamping service countersigns, so the signature outlives the certificate.
# usage: sign.sh OSSLSIGNCODE PFX FILE...
set -euo pipefail
tool=$1 pfx=$2
shift 2
if [ -z "${PX71_SIGN_PASSWORD+set}" ]; then
    echo "sign.sh: PX71_SIGN_PASSWORD is not set: the password of $pfx is needed to sign" >&2
    exit 1
fi
for file; do
    signed="$file.signed"
    if ! printf '%s' "$PX71_SIGN_PASSWORD" |
        "$tool" sign -pkcs12 "$pfx" -readpass - -h sha256 -n PX71 \
            ${PX71_SIGN_TIMESTAMP_URL:+-ts "$PX71_SIGN_TIMESTAMP_URL"} -in "$file" -out "$signed" >"$signed.log" 2>&1; then
        echo "sign.sh: $file could not be signed:" >&2
        cat "$signed.log" >&2
        rm -f "$signed" "$signed.log"
        exit 1
    fi
    rm -f "$signed.log"
    mv -f "$signed" "$file"
done
