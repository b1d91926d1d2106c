#!/usr/bin/env bash
# Authenticode signing of the release installer with osslsigncode (SHA-256).
#
#   authenticode.sh signer <cert-out.pem>       checks the settings, writes the signing certificate
#   authenticode.sh sign <in.exe> <out.exe>     signs a copy
#   authenticode.sh verify <file.exe> <cert.pem>
#
# Environment: SIGN_CERT and SIGN_KEY (PEM; SIGN_PASS_FILE when the key is encrypted), or
# SIGN_PKCS12 and SIGN_PASS_FILE (a file holding its password, so it never shows in `ps`).
# SIGN_TIMESTAMP_URL: an RFC 3161 time-stamping server; without one the signature carries no
# time stamp and stops verifying when the certificate expires.
#
# A file verifies when its signature is intact, its digest matches the signed one and the signer
# is the given certificate, whose chain leads to a root this machine trusts. A self-signed signer
# is a test certificate that Windows will not trust either: it is checked against itself and only
# earns a warning, so a test build can sign; its digest must still match.
set -euo pipefail
die() { echo "dist: $*" >&2; exit 1; }
readable() {
    local f
    for f in "$@"; do [ -f "$f" ] && [ -r "$f" ] || die "cannot read '$f'"; done
}

signer() {
    local out=$1
    if [ -n "${SIGN_PKCS12:-}" ]; then
        [ -z "${SIGN_CERT:-}${SIGN_KEY:-}" ] ||
            die "give SIGN_CERT and SIGN_KEY, or SIGN_PKCS12 and SIGN_PASS_FILE, not both"
        [ -n "${SIGN_PASS_FILE:-}" ] || die "SIGN_PKCS12 needs SIGN_PASS_FILE, a file holding its password"
        readable "$SIGN_PKCS12" "$SIGN_PASS_FILE"
        # Older PKCS#12 files use ciphers OpenSSL 3 keeps in its legacy provider.
        local legacy
        for legacy in "" -legacy; do
            if openssl pkcs12 $legacy -in "$SIGN_PKCS12" -passin "file:$SIGN_PASS_FILE" -clcerts -nokeys 2>/dev/null |
                openssl x509 -out "$out" 2>/dev/null; then
                return 0
            fi
        done
        die "cannot read a certificate from $SIGN_PKCS12 with the password in $SIGN_PASS_FILE"
    elif [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
        [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ] || die "SIGN_CERT and SIGN_KEY go together"
        readable "$SIGN_CERT" "$SIGN_KEY" ${SIGN_PASS_FILE:+"$SIGN_PASS_FILE"}
        # The signer comes first in a certificate file that also holds its chain.
        openssl x509 -in "$SIGN_CERT" -out "$out" 2>/dev/null || die "no PEM certificate in $SIGN_CERT"
    else
        die "no signing certificate: give SIGN_CERT and SIGN_KEY, or SIGN_PKCS12 and SIGN_PASS_FILE"
    fi
}

sign() {
    local in=$1 out=$2 args=(-h sha256)
    if [ -n "${SIGN_PKCS12:-}" ]; then
        args+=(-pkcs12 "$SIGN_PKCS12" -readpass "$SIGN_PASS_FILE")
    else
        args+=(-certs "$SIGN_CERT" -key "$SIGN_KEY" ${SIGN_PASS_FILE:+-readpass "$SIGN_PASS_FILE"})
    fi
    [ -z "${SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$SIGN_TIMESTAMP_URL")
    rm -f "$out"
    local log
    if ! log=$(osslsigncode sign "${args[@]}" -in "$in" -out "$out" 2>&1); then
        rm -f "$out"
        echo "$log" >&2
        die "signing $(basename "$in") failed"
    fi
}

verify() {
    local exe=$1 cert=$2 leaf subject issuer log
    leaf=sha256:$(openssl x509 -in "$cert" -outform DER | sha256sum | cut -d' ' -f1)
    subject=$(openssl x509 -in "$cert" -noout -subject -nameopt RFC2253)
    issuer=$(openssl x509 -in "$cert" -noout -issuer -nameopt RFC2253)
    subject=${subject#subject=}
    issuer=${issuer#issuer=}
    if log=$(osslsigncode verify -in "$exe" -require-leaf-hash "$leaf" 2>&1); then
        echo "dist: signature verified: signed by $subject, a certificate this machine trusts"
        return 0
    fi
    if [ "$subject" = "$issuer" ] &&
        log=$(osslsigncode verify -in "$exe" -CAfile "$cert" -require-leaf-hash "$leaf" 2>&1); then
        echo "dist: warning: signature and digest verified, but the signer ($subject) is self-signed:" \
            "Windows will not trust it; a test signature, not one to ship" >&2
        return 0
    fi
    echo "$log" >&2
    die "the signature of $exe does not verify"
}

case "${1:-}:$#" in
signer:2) signer "$2" ;;
sign:3) sign "$2" "$3" ;;
verify:3) verify "$2" "$3" ;;
*)
    echo "usage: $0 signer <cert-out.pem> | sign <in.exe> <out.exe> | verify <file.exe> <cert.pem>" >&2
    exit 2
    ;;
esac
