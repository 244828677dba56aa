#!/usr/bin/env bash
# Times the inspection of large components with their digest and their
# signatures checked against the same inspection with the digest alone (what
# --hash costs), in one process (signature_bench); then the setup program's
# Authenticode digests alone, and the component file's digest pass at several
# piece sizes. See bench/README.md.
#
# Usage: bench/signature_bench.sh [BUILD_DIR]   (default: build/release)
# Environment: COUNT (5 components per set), SETUP_MB (100), ROUNDS (5).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
count=${COUNT:-5}
setup_mb=${SETUP_MB:-100}
rounds=${ROUNDS:-5}
bench=$PWD/$build/bench/signature_bench
[ -x "$bench" ] || { echo "missing $bench: cmake --build --preset release" >&2; exit 1; }
for tool in openssl osslsigncode; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/bootstrap.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A root and a code-signing certificate under it, for this run only.
cat > ext.cnf <<'CNF'
[signer]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
CNF
openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -subj "/CN=Bench Root" -days 2 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign -out root.pem 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout signer.key -subj "/CN=Bench Signer" -out signer.csr 2>/dev/null
openssl x509 -req -in signer.csr -CA root.pem -CAkey root.key -CAcreateserial -days 2 \
  -extfile ext.cnf -extensions signer -out signer.pem 2>/dev/null
sign() { osslsigncode sign -certs signer.pem -key signer.key -h sha256 -in "$1" -out "$2" >/dev/null; }

echo "== writing $count components with $setup_mb MB setup programs, unsigned and signed"
"$bench" setup setup.exe "$setup_mb"
sign setup.exe setup-signed.exe
"$bench" components unsigned "$count" setup.exe
"$bench" components built "$count" setup-signed.exe
mkdir signed
for file in built/*.exe; do sign "$file" "signed/$(basename "$file")"; done
rm -rf built
du -sh unsigned signed | sed 's/^/-- /'

for set in unsigned signed; do
  echo "== $set: $rounds rounds"
  "$bench" time root.pem "$rounds" "$set"/*.exe
done
echo "== the signed setup program's digests: $rounds rounds"
"$bench" digests "$rounds" setup-signed.exe
echo "== a signed component file's digest pass: 9 rounds"
"$bench" pieces 9 signed/c00000.exe
