#!/usr/bin/env bash
# Signs the programs that signing_inputs wrote into DIR, making the table of
# signed files that the signature tests read, and records the reference
# verdict of `osslsigncode verify` for each in DIR/verdicts.txt
# ("NAME valid" or "NAME invalid").
#
# Certificates come from a small PKI made here with `openssl ca`, each with
# a chosen validity window (no clock tricks): a root and an intermediate,
# signers under it (current, other, expired in 2015, one for servers
# rather than code signing), a time-stamping
# authority under the root (osslsigncode's own, through -TSA-certs/-TSA-key/
# -TSA-time), and a stranger root with its own signer. Every run starts
# afresh.
#
#   make_signed_files.sh DIR
set -euo pipefail
dir=${1:?usage: make_signed_files.sh DIR}
for tool in openssl osslsigncode; do
  command -v "$tool" >/dev/null || { echo "make_signed_files.sh: $tool is missing (scripts/bootstrap.sh installs it)" >&2; exit 1; }
done
cd "$dir"
for input in component.exe setup.exe setup-large.exe; do
  [ -f "$input" ] || { echo "make_signed_files.sh: $dir/$input is missing" >&2; exit 1; }
done
rm -rf pki signed check verdicts.txt
mkdir -p pki signed check

# --- The PKI -------------------------------------------------------------------
cat > pki/openssl.cnf <<'CNF'
[ca]
default_ca = test_ca
[test_ca]
dir = $ENV::CA_DIR
database = $dir/index.txt
new_certs_dir = $dir
serial = $dir/serial
default_md = sha256
policy = any_name
unique_subject = no
email_in_dn = no
[any_name]
commonName = supplied
organizationName = optional
[req]
distinguished_name = unused
[unused]
[v3_ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[v3_signer]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[v3_server]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
[v3_tsa]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
export CA_DIR=pki
config=pki/openssl.cnf

# certificate NAME ISSUER SUBJECT EXTENSIONS NOT_BEFORE NOT_AFTER
# ISSUER = NAME makes a self-signed root.
certificate() {
  local name=$1 issuer=$2 subject=$3 extensions=$4 start=$5 end=$6
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "pki/$name.key" 2>/dev/null
  openssl req -new -config "$config" -key "pki/$name.key" -subj "$subject" -out "pki/$name.csr"
  mkdir -p "pki/$issuer-ca"
  [ -f "pki/$issuer-ca/serial" ] || { : > "pki/$issuer-ca/index.txt"; echo 1000 > "pki/$issuer-ca/serial"; }
  local signing=(-cert "pki/$issuer.pem" -keyfile "pki/$issuer.key")
  [ "$issuer" = "$name" ] && signing=(-selfsign -keyfile "pki/$name.key")
  CA_DIR=pki/$issuer-ca openssl ca -batch -notext -config "$config" "${signing[@]}" \
    -in "pki/$name.csr" -startdate "$start" -enddate "$end" -extensions "$extensions" \
    -out "pki/$name.pem" 2>/dev/null
}

certificate root root "/CN=PackProbe Test Root/O=PackProbe Tests" v3_ca 20100101000000Z 20491231000000Z
certificate inter root "/CN=PackProbe Test CA/O=PackProbe Tests" v3_ca 20100101000000Z 20491231000000Z
certificate signer inter "/CN=PackProbe Test Signer/O=PackProbe Tests" v3_signer 20200101000000Z 20491231000000Z
certificate other inter "/CN=PackProbe Other Signer/O=PackProbe Tests" v3_signer 20200101000000Z 20491231000000Z
certificate expired inter "/CN=PackProbe Expired Signer/O=PackProbe Tests" v3_signer 20150101000000Z 20160101000000Z
certificate server inter "/CN=PackProbe Test Server/O=PackProbe Tests" v3_server 20200101000000Z 20491231000000Z
certificate tsa root "/CN=PackProbe Test TSA/O=PackProbe Tests" v3_tsa 20100101000000Z 20491231000000Z
certificate stranger stranger "/CN=PackProbe Stranger Root" v3_ca 20100101000000Z 20491231000000Z
certificate stranger-signer stranger "/CN=PackProbe Stranger Signer" v3_signer 20200101000000Z 20491231000000Z
# What a signer puts in the signature: its certificate and the intermediate.
for name in signer other expired server; do cat "pki/$name.pem" pki/inter.pem > "pki/$name-chain.pem"; done
cp pki/stranger-signer.pem pki/stranger-signer-chain.pem
cp pki/root.pem root.pem
# The signers' SHA-256 fingerprints, for pinning.
for name in signer other; do
  openssl x509 -in "pki/$name.pem" -outform DER | sha256sum | cut -c1-64 > "$name.fingerprint"
done

# --- Signing ---------------------------------------------------------------------
# sign SIGNER IN OUT [osslsigncode options...]
sign() {
  local signer=$1 in=$2 out=$3
  shift 3
  osslsigncode sign -certs "pki/$signer-chain.pem" -key "pki/$signer.key" "$@" \
    -in "$in" -out "$out" >/dev/null
}
# 2015-06-01, inside the expired signer's window.
in_2015=1433116800

sign signer component.exe signed/sha256.exe -h sha256
sign signer component.exe signed/sha1.exe -h sha1
sign signer setup.exe signed/setup-sha256.exe -h sha256
sign signer setup-large.exe signed/setup-large.exe -h sha256
sign other component.exe signed/other-signer.exe -h sha256
sign stranger-signer component.exe signed/untrusted.exe -h sha256
sign server component.exe signed/not-code-signing.exe -h sha256
sign expired component.exe signed/expired.exe -h sha256
sign expired component.exe signed/timestamped.exe -h sha256 \
  -TSA-certs pki/tsa.pem -TSA-key pki/tsa.key -TSA-time "$in_2015"
sign signer signed/sha1.exe signed/nested.exe -h sha256 -nest
osslsigncode remove-signature -in signed/sha256.exe -out signed/removed.exe >/dev/null
cp component.exe signed/unsigned.exe

# --- Changed bytes ---------------------------------------------------------------
u32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' '; }
u16() { od -An -tu2 --endian=little -j "$2" -N2 "$1" | tr -d ' '; }
# flip FILE OFFSET: inverts one byte in place.
flip() {
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 0xFF)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# The certificate table's offset, from the security entry of the headers.
table_offset() {
  local pe magic
  pe=$(u32 "$1" 60)
  magic=$(u16 "$1" $((pe + 24)))
  u32 "$1" $((pe + 24 + ($magic == 0x20b ? 144 : 128)))
}
table=$(table_offset signed/sha256.exe)

cp signed/sha256.exe signed/stub-changed.exe
flip signed/stub-changed.exe 512  # the first byte of the stub's code
cp signed/sha256.exe signed/archive-changed.exe
flip signed/archive-changed.exe $((table - 100))  # the archive's central directory
# The signature value: the one OCTET STRING at depth 5 of the SignedData
# (the SignerInfo's encryptedDigest), behind the entry's 8-byte header.
osslsigncode extract-signature -in signed/sha256.exe -out pki/sha256.der >/dev/null
read -r at header < <(openssl asn1parse -inform DER -in pki/sha256.der |
  sed -n 's/^ *\([0-9]*\):d=5 *hl=\([0-9]*\) .*prim: OCTET STRING.*/\1 \2/p' | head -n 1)
cp signed/sha256.exe signed/table-changed.exe
flip signed/table-changed.exe $((table + 8 + at + header + 100))

# A copy under the name its metadata gives, for the whole component check.
cp signed/nested.exe check/signeddemo.exe

# --- Reference verdicts ------------------------------------------------------------
for file in signed/*.exe; do
  if osslsigncode verify -CAfile root.pem -TSA-CAfile root.pem -in "$file" >/dev/null 2>&1; then
    echo "$(basename "$file") valid"
  else
    echo "$(basename "$file") invalid"
  fi
done > verdicts.txt
