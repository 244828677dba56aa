// Arbitrary bytes taken three ways: as a certificate table whose PKCS #7
// entries are checked, as one signature checked directly, and as a program
// file streamed through the Authenticode digester in chunks and judged.
//
// The checks use no trust anchors and a fixed file digest: the SHA-1 and
// SHA-256 Authenticode digests of the component that
// tests/signing/make_signed_files.sh signs. The corpus holds the certificate
// tables that script's timestamped.exe and nested.exe carry, and its
// sha256.exe whole, so that mutations start from signatures whose digest
// matches and reach the timestamp, nested-signature and validity checks;
// and unknown_digest_leak, a finding: a SignedData listing a digest that
// libcrypto does not know, which made PKCS7_verify leak.
#include <cstddef>
#include <cstdint>
#include <span>

#include "pe/authenticode.h"
#include "crypto/crypto.h"

namespace {

using packprobe::crypto::DigestAlgorithm;
using packprobe::crypto::DigestValue;

DigestValue Fixed(DigestAlgorithm algorithm, std::span<const std::uint8_t> bytes) {
  DigestValue value;
  value.algorithm = algorithm;
  value.size = bytes.size();
  for (std::size_t i = 0; i < bytes.size(); ++i) value.storage[i] = bytes[i];
  return value;
}

constexpr std::uint8_t kSha1[] = {0xef, 0x49, 0x26, 0x17, 0x5e, 0xd9, 0x4a, 0xe0, 0xa3, 0x06,
                                  0xc9, 0xe2, 0x94, 0x89, 0x0f, 0x25, 0x03, 0x4f, 0xb7, 0x28};
constexpr std::uint8_t kSha256[] = {0x20, 0x5e, 0x27, 0xf1, 0xd7, 0xd5, 0x34, 0x6e, 0xda, 0x5a, 0x28,
                                    0x1d, 0x11, 0xcb, 0x7d, 0x9a, 0x16, 0x0a, 0x39, 0x37, 0x3d, 0xa8,
                                    0x47, 0x06, 0x98, 0x50, 0x02, 0x23, 0x2d, 0xf6, 0xd7, 0xef};
// 2026-01-01: after the corpus signer's window, so that only a timestamp
// makes its signature valid.
constexpr std::int64_t kNow = 1767225600;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return packprobe::crypto::InitCryptography() == packprobe::platform::HostFault::kNone ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Certificate tables and small programs fit in far less.
  if (size > (1u << 20)) return 0;
  const std::span<const std::uint8_t> bytes(data, size);
  static const packprobe::crypto::TrustSettings kNoTrust;
  const DigestValue digests[] = {Fixed(DigestAlgorithm::kSha1, kSha1),
                                 Fixed(DigestAlgorithm::kSha256, kSha256)};

  for (const auto der : packprobe::ReadCertificateTable(bytes).signatures) {
    (void)packprobe::crypto::VerifyAuthenticode(der, digests, kNoTrust, kNow);
  }
  (void)packprobe::crypto::VerifyAuthenticode(bytes, digests, kNoTrust, kNow);
  (void)packprobe::crypto::AuthenticodeAlgorithms(bytes);

  constexpr DigestAlgorithm kAlgorithms[] = {DigestAlgorithm::kSha1, DigestAlgorithm::kSha256};
  packprobe::AuthenticodeDigester digester(size, kAlgorithms);
  for (std::size_t at = 0; at < size; at += 1000) {
    digester.Update(at, bytes.subspan(at, std::min<std::size_t>(1000, size - at)));
  }
  (void)packprobe::CheckSignatures(digester.Finish(), kNoTrust, kNow);
  return 0;
}
