#include "scan/targets.h"

#include <gtest/gtest.h>

namespace packprobe::scan {
namespace {

// The shares are a contract between workers of different builds and
// machines: the hash must never change.
TEST(TargetsTest, ShardsFollowFnv1a64OfTheRelativePath) {
  EXPECT_EQ(Fnv1a64(""), 0xCBF29CE484222325ull);
  EXPECT_EQ(Fnv1a64("a"), 0xAF63DC4C8601EC8Cull);
  EXPECT_EQ(Fnv1a64("foobar"), 0x85944171F73967E8ull);
  Target target;
  target.shardHash = Fnv1a64("sub/kit.exe");
  EXPECT_EQ(ShardOf(target, 7), 0xB9200835C3BF5B3Cull % 7);
  EXPECT_EQ(ShardOf(target, 1), 0u);
}

TEST(TargetsTest, PathListsSkipEmptyLinesAndCarriageReturns) {
  EXPECT_EQ(SplitPathList("a.exe\r\n\nb c.exe\n\r\nlast.exe"),
            (std::vector<std::string>{"a.exe", "b c.exe", "last.exe"}));
}

}  // namespace
}  // namespace packprobe::scan
