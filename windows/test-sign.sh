#!/usr/bin/env bash
# Signs kscam.sys with a self-signed test certificate, which a Windows machine
# in test-signing mode accepts once it trusts the certificate, and verifies
# the signed image.
#
# usage: test-sign.sh IMAGE SIGNED_IMAGE CERTIFICATE_DIR
# The key and certificate are made in CERTIFICATE_DIR on first use and kept
# (so a machine that trusts them keeps accepting new builds) until they are
# about to expire. They belong to the build tree and are never committed.
set -euo pipefail

image=$1 signed=$2 certificates=$3
key=$certificates/kscam-test.key
certificate=$certificates/kscam-test.pem
name="kscam test signing"

fail() {
  echo "test-sign: $*" >&2
  exit 1
}

make_certificate() {
  mkdir -p "$certificates"
  local config=$certificates/kscam-test.cnf
  cat >"$config" <<EOF
[req]
distinguished_name = name
prompt = no
x509_extensions = code_signing
[name]
CN = $name
[code_signing]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
EOF
  (umask 077 && openssl req -x509 -newkey rsa:3072 -sha256 -days 365 -nodes -config "$config" \
    -keyout "$key" -out "$certificate" 2>/dev/null) || fail "openssl could not make the test certificate"
  # Windows imports the DER form.
  openssl x509 -in "$certificate" -outform der -out "$certificates/kscam-test.cer"
  echo "test-sign: made a new test certificate in $certificates"
}

# A new certificate when there is none or it expires within 30 days.
if [ ! -f "$key" ] || [ ! -f "$certificate" ] || ! openssl x509 -in "$certificate" -noout -checkend 2592000 >/dev/null; then
  make_certificate
fi

mkdir -p "$(dirname "$signed")"
rm -f "$signed"
osslsigncode sign -certs "$certificate" -key "$key" -h sha256 -n "kscam" -in "$image" -out "$signed" >/dev/null ||
  fail "osslsigncode could not sign $image"

# The signature must be there, its digest must match the image, and the
# signer must chain to our certificate (which is its own root).
report=$(osslsigncode verify -in "$signed" -CAfile "$certificate" 2>&1) ||
  fail "the signature of $signed does not verify:"$'\n'"$report"
current=$(awk -F': *' '/^Current message digest/ { print $2 }' <<<"$report" | tr -d ' ')
calculated=$(awk -F': *' '/^Calculated message digest/ { print $2 }' <<<"$report" | tr -d ' ')
if [ -z "$current" ] || [ "$current" != "$calculated" ]; then fail "the signed digest does not match the image"; fi
grep -q "Subject: /CN=$name" <<<"$report" || fail "$signed is not signed by the test certificate"
grep -q "^Signature verification: ok" <<<"$report" || fail "the signature does not verify"
grep -qi "mismatch" <<<"$report" && fail "osslsigncode reports a mismatch:"$'\n'"$report"

# Signing may change only the checksum and the certificate-table entry of the
# headers, and append the signature: everything the package check read is
# unchanged.
u32() { od -A n -t u4 --endian=little -j "$2" -N 4 "$1" | tr -d ' '; }
optional=$(($(u32 "$image" 60) + 24))
allowed=" $((optional + 64)) $((optional + 65)) $((optional + 66)) $((optional + 67)) "
for ((byte = optional + 112 + 8 * 4; byte < optional + 112 + 8 * 5; byte++)); do allowed+="$byte "; done
changed=$(cmp -l -n "$(stat -c %s "$image")" "$image" "$signed" | awk '{ print $1 - 1 }' || true)
for offset in $changed; do
  [[ $allowed == *" $offset "* ]] || fail "signing changed byte $offset of the image, outside the checksum and certificate entry"
done

echo "test-sign: $(basename "$signed") signed by \"$name\"; signature and image digest verified"
