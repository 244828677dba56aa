// The legacy Authenticode timestamp (a countersignature over the signature
// value), which osslsigncode makes only through a remote service: added here
// with libcrypto by the table's time-stamping authority to the signature of
// expired.exe, whose signer's window (2015) it must bring back.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "pe/authenticode.h"
#include "tests/support/scratch_dir.h"
#include "crypto/crypto.h"

namespace packprobe {
namespace {

const std::filesystem::path kFiles = SIGNED_FILES_DIR;
constexpr std::int64_t kIn2015 = 1433116800;

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

template <typename T, auto Read>
T* ReadPem(const std::filesystem::path& path) {
  const std::string text = testsupport::ReadFile(path);
  BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  T* value = Read(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return value;
}

// The signature of der with a countersignature at `time` by the authority;
// `spoil` inverts a byte of the countersignature's own signature value.
std::string CounterSigned(std::span<const std::uint8_t> der, std::int64_t time, bool spoil) {
  const unsigned char* cursor = der.data();
  PKCS7* p7 = d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size()));
  X509* authority = ReadPem<X509, PEM_read_bio_X509>(kFiles / "pki" / "tsa.pem");
  EVP_PKEY* key = ReadPem<EVP_PKEY, PEM_read_bio_PrivateKey>(kFiles / "pki" / "tsa.key");
  EXPECT_TRUE(p7 != nullptr && authority != nullptr && key != nullptr);
  PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);

  PKCS7_SIGNER_INFO* counter = PKCS7_SIGNER_INFO_new();
  PKCS7_SIGNER_INFO_set(counter, authority, key, EVP_sha256());
  ASN1_UTCTIME* when = ASN1_UTCTIME_set(nullptr, static_cast<time_t>(time));
  PKCS7_add_signed_attribute(counter, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data));
  PKCS7_add_signed_attribute(counter, NID_pkcs9_signingTime, V_ASN1_UTCTIME, when);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(signer->enc_digest->data, static_cast<std::size_t>(signer->enc_digest->length), digest,
             &length, EVP_sha256(), nullptr);
  PKCS7_add1_attrib_digest(counter, digest, static_cast<int>(length));
  EXPECT_EQ(PKCS7_SIGNER_INFO_sign(counter), 1);
  if (spoil) counter->enc_digest->data[10] ^= 0xFF;

  unsigned char* encoded = nullptr;
  const int encodedLength = i2d_PKCS7_SIGNER_INFO(counter, &encoded);
  ASN1_STRING* value = ASN1_STRING_new();
  ASN1_STRING_set(value, encoded, encodedLength);
  PKCS7_add_attribute(signer, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, value);
  PKCS7_add_certificate(p7, authority);

  unsigned char* out = nullptr;
  const int outLength = i2d_PKCS7(p7, &out);
  std::string result(reinterpret_cast<const char*>(out), static_cast<std::size_t>(outLength));
  OPENSSL_free(out);
  OPENSSL_free(encoded);
  PKCS7_SIGNER_INFO_free(counter);
  X509_free(authority);
  EVP_PKEY_free(key);
  PKCS7_free(p7);
  return result;
}

TEST(LegacyTimestampTest, ACountersignatureDatesTheSignature) {
  ASSERT_EQ(crypto::InitCryptography(), platform::HostFault::kNone);
  const std::string file = testsupport::ReadFile(kFiles / "signed" / "expired.exe");
  constexpr crypto::DigestAlgorithm kSha256[] = {crypto::DigestAlgorithm::kSha256};
  AuthenticodeDigester digester(file.size(), kSha256);
  ASSERT_TRUE(digester.Update(0, Bytes(file)));
  const AuthenticodeDigests digests = digester.Finish();
  const CertificateTable table = ReadCertificateTable(digests.table);
  ASSERT_EQ(table.signatures.size(), 1u);
  const std::string anchors[] = {testsupport::ReadFile(kFiles / "root.pem")};
  const auto trust = crypto::TrustSettings::Read(anchors, {}).settings.value();

  struct Case {
    std::int64_t time;
    bool spoil;
    crypto::SignatureState state;
    const char* why;
  } const cases[] = {
      {kIn2015, false, crypto::SignatureState::kValid, "inside the signer's window"},
      {kIn2015, true, crypto::SignatureState::kBadSignature, "a countersignature that does not verify"},
      {kIn2015 + 400 * 86400, false, crypto::SignatureState::kExpired, "after the window"},
  };
  for (const Case& c : cases) {
    const std::string der = CounterSigned(table.signatures[0], c.time, c.spoil);
    const crypto::SignatureCheck check =
        crypto::VerifyAuthenticode(Bytes(der), digests.digests, trust, std::time(nullptr));
    ASSERT_EQ(check.fault, platform::HostFault::kNone);
    EXPECT_EQ(check.facts.state, c.state) << c.why << ": " << check.facts.problem;
    if (c.state != crypto::SignatureState::kBadSignature) {
      EXPECT_EQ(check.facts.timestamp, crypto::TimestampKind::kAuthenticode) << c.why;
      EXPECT_EQ(check.facts.signingTime, c.time) << c.why;
    }
  }
}

}  // namespace
}  // namespace packprobe
