#include "crypto/authenticode.h"

#include <gtest/gtest.h>

#include "crypto/crypto.h"

namespace packprobe::crypto {
namespace {

// Names as both systems' checks report them, from the attributes each
// system decodes.
TEST(AuthenticodeTest, DistinguishedNamesInRfc4514Form) {
  struct Case {
    std::vector<NameAttribute> attributes;
    const char* text;
    const char* why;
  } const cases[] = {
      {{{0, "2.5.4.6", "DE"}, {1, "2.5.4.10", "Example"}, {2, "2.5.4.3", "Signer"}},
       "CN=Signer,O=Example,C=DE", "last encoded first, short names"},
      {{{0, "2.5.4.3", "A"}, {0, "2.5.4.11", "B"}, {1, "1.2.840.113549.1.9.1", "a@b"}},
       "1.2.840.113549.1.9.1=a@b,CN=A+OU=B", "a set of two; an unknown type by its identifier"},
      {{{0, "2.5.4.10", "Example, Inc.+\"x\";<y>\\"}},
       "O=Example\\, Inc.\\+\\\"x\\\"\\;\\<y\\>\\\\", "special characters"},
      {{{0, "2.5.4.3", "#lead"}, {1, "2.5.4.3", " both "}, {2, "2.5.4.3", "tab\there"}},
       "CN=tab\\09here,CN=\\ both\\ ,CN=\\#lead", "leading # and spaces, controls"},
      {{}, "", "no attribute"},
  };
  for (const Case& c : cases) EXPECT_EQ(DistinguishedNameText(c.attributes), c.text) << c.why;
}

TEST(AuthenticodeTest, CalendarTimesBothWays) {
  struct Case {
    int year, month, day, hour, minute, second;
    std::int64_t seconds;
    const char* text;
  } const cases[] = {
      {1970, 1, 1, 0, 0, 0, 0, "1970-01-01T00:00:00Z"},
      {2015, 6, 1, 0, 0, 0, 1433116800, "2015-06-01T00:00:00Z"},
      {2024, 2, 29, 23, 59, 59, 1709251199, "2024-02-29T23:59:59Z"},
      {2049, 12, 31, 0, 0, 0, 2524521600, "2049-12-31T00:00:00Z"},  // beyond 32 bits
      {1969, 12, 31, 23, 59, 59, -1, "1969-12-31T23:59:59Z"},
      {1601, 1, 1, 0, 0, 0, -11644473600, "1601-01-01T00:00:00Z"},   // the FILETIME epoch
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SecondsFromCivil(c.year, c.month, c.day, c.hour, c.minute, c.second), c.seconds) << c.text;
    EXPECT_EQ(TimeText(c.seconds), c.text);
  }
}

TEST(AuthenticodeTest, PinnedSignersByFingerprintOrSubject) {
  const std::string fingerprint(64, 'a');
  const PinnedSigner pins[] = {ParsePinnedSigner(std::string(64, 'A')), ParsePinnedSigner("CN=Signer,O=Example")};
  EXPECT_EQ(pins[0].fingerprint, fingerprint) << "either case";
  EXPECT_TRUE(pins[0].subject.empty());
  EXPECT_EQ(pins[1].subject, "CN=Signer,O=Example");
  EXPECT_EQ(ParsePinnedSigner(std::string(63, 'a')).subject, std::string(63, 'a')) << "too short";
  EXPECT_EQ(ParsePinnedSigner(std::string(63, 'a') + "g").subject.size(), 64u) << "not hex";

  EXPECT_EQ(MatchPinnedSigners({}, fingerprint, "CN=X"), PinCheck::kNoPins);
  EXPECT_EQ(MatchPinnedSigners(pins, fingerprint, "CN=X"), PinCheck::kPinned);
  EXPECT_EQ(MatchPinnedSigners(pins, std::string(64, 'b'), "CN=Signer,O=Example"), PinCheck::kPinned);
  EXPECT_EQ(MatchPinnedSigners(pins, std::string(64, 'b'), "CN=Signer"), PinCheck::kOtherSigner)
      << "a subject compares whole";
  EXPECT_EQ(MatchPinnedSigners(pins, "", ""), PinCheck::kOtherSigner) << "no signer certificate";
}

// A text that holds no certificate is named by its index; text around a
// certificate is skipped, as PEM readers do.
TEST(AuthenticodeTest, TrustAnchorsThatHoldNoCertificateAreNamed) {
  ASSERT_EQ(InitCryptography(), platform::HostFault::kNone);
  const std::string none[] = {"", "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"};
  for (std::size_t i = 0; i < std::size(none); ++i) {
    const std::string texts[] = {none[i]};
    const TrustSettings::Load load = TrustSettings::Read(texts, {});
    EXPECT_FALSE(load.settings.has_value()) << i;
    EXPECT_EQ(load.badAnchor, 0u);
    EXPECT_EQ(load.fault, platform::HostFault::kNone);
  }
  const TrustSettings::Load nothing = TrustSettings::Read({}, {});
  ASSERT_TRUE(nothing.settings.has_value());
  EXPECT_FALSE(nothing.settings->hasAnchors());
}

}  // namespace
}  // namespace packprobe::crypto
