#include "gate/shard.h"

#include <gtest/gtest.h>

#include <tuple>

namespace packprobe::gate {
namespace {

// The shares are a contract between workers of different builds and
// machines: the hash must never change.
TEST(ShardTest, SharesFollowFnv1a64OfTheKey) {
  EXPECT_EQ(Fnv1a64(""), 0xCBF29CE484222325ull);
  EXPECT_EQ(Fnv1a64("a"), 0xAF63DC4C8601EC8Cull);
  EXPECT_EQ(Fnv1a64("foobar"), 0x85944171F73967E8ull);
  EXPECT_EQ(ShareOf("sub/kit.exe", 7), 0xB9200835C3BF5B3Cull % 7);
  EXPECT_EQ(ShareOf("sub/kit.exe", 1), 0u);
}

// One parser of K/N for the scan, its header and merge: digits only, one
// slash, K below N, N below 2^32.
TEST(ShardTest, ShareTextsAreKSlashNAndNothingElse) {
  const std::tuple<const char*, bool, Shard> cases[] = {
      {"0/1", true, {0, 1}},
      {"2/3", true, {2, 3}},
      {"4294967294/4294967295", true, {4294967294u, 4294967295u}},
      {"0/4294967296", false, {}},  // N beyond 32 bits
      {"3/3", false, {}},
      {"0/0", false, {}},
      {"0/3/3", false, {}},  // once read as 0/3
      {"1", false, {}},
      {"/3", false, {}},
      {"1/", false, {}},
      {" 0/2", false, {}},
      {"-1/2", false, {}},
      {"+1/2", false, {}},
      {"00000000000000000001/2", true, {1, 2}},
  };
  for (const auto& [text, valid, shard] : cases) {
    const std::optional<Shard> parsed = ParseShard(text);
    EXPECT_EQ(parsed.has_value(), valid) << text;
    if (parsed && valid) {
      EXPECT_EQ(*parsed, shard) << text;
      EXPECT_EQ(ParseShard(ShardText(*parsed)), parsed) << text;
    }
  }
}

}  // namespace
}  // namespace packprobe::gate
