#include "crypto/digest.h"

#include <gtest/gtest.h>

#include <string_view>

namespace packprobe::crypto {
namespace {

std::string HexOf(DigestAlgorithm algorithm, std::string_view text) {
  const auto value = DigestOf(algorithm, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  return value ? HexDigits(value->bytes()) : "(failed)";
}

// Each algorithm against its FIPS 180 example, so that no row of the table
// reaches another algorithm's implementation or the wrong length.
TEST(DigestTest, EachAlgorithmGivesItsKnownDigest) {
  struct Case {
    DigestAlgorithm algorithm;
    const char* abc;
  } const cases[] = {
      {DigestAlgorithm::kSha1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {DigestAlgorithm::kSha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {DigestAlgorithm::kSha384,
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
      {DigestAlgorithm::kSha512,
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
       "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HexOf(c.algorithm, "abc"), c.abc) << AlgorithmInfo(c.algorithm).name;
    // In pieces, and after a move, the same.
    Digest first(c.algorithm);
    first.Update("a", 1);
    Digest moved(std::move(first));
    moved.Update("bc", 2);
    const auto value = moved.Finish();
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(HexDigits(value->bytes()), c.abc);
    EXPECT_EQ(value->algorithm, c.algorithm);
    EXPECT_FALSE(moved.Finish().has_value()) << "a finished digest is spent";
  }
}

}  // namespace
}  // namespace packprobe::crypto
