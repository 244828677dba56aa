#include <openssl/crypto.h>
#include <openssl/x509v3.h>

#include <cstdint>

#include "crypto/crypto.h"

namespace packprobe::crypto {
namespace {

// The purpose that OpenSSL 3.2 and later define as "codesign"; on 3.0 it is
// registered here under the same short name, which the signature checks look
// up. A certificate that states extended key usages must include code
// signing (or any usage), as Windows requires; one that states key usages
// must allow digital signatures (a leaf) or certificate signing (a CA).
constexpr int kCodeSignPurposeId = 1000;

int CheckCodeSign(const X509_PURPOSE*, const X509* certificate, int asIssuer) {
  X509* cert = const_cast<X509*>(certificate);
  const std::uint32_t extended = X509_get_extended_key_usage(cert);
  if ((extended & (XKU_CODE_SIGN | XKU_ANYEKU)) == 0) return 0;
  const std::uint32_t usage = X509_get_key_usage(cert);
  if (asIssuer != 0) return X509_check_ca(cert) != 0 && (usage & KU_KEY_CERT_SIGN) != 0 ? 1 : 0;
  return (usage & KU_DIGITAL_SIGNATURE) != 0 ? 1 : 0;
}

}  // namespace

platform::HostFault InitCryptography() {
  if (OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1) {
    return platform::HostFault::kNoMemory;
  }
  if (X509_PURPOSE_get_by_sname("codesign") >= 0) return platform::HostFault::kNone;
  if (X509_PURPOSE_add(kCodeSignPurposeId, X509_TRUST_OBJECT_SIGN, 0, CheckCodeSign,
                       "Code signing", "codesign", nullptr) != 1) {
    return platform::HostFault::kNoMemory;
  }
  return platform::HostFault::kNone;
}

}  // namespace packprobe::crypto
