#include "gate/shares.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace packprobe::gate {
namespace {

ShareReport Share(std::string name, std::optional<Shard> shard, std::string key = "k") {
  return {std::move(name), std::move(key), shard};
}

TEST(SharesTest, OnlyEveryShareOfOneSplitOnceMakesARun) {
  const struct {
    std::vector<ShareReport> reports;
    std::string error;  // a part of it; "" when they fit
  } rows[] = {
      {{Share("whole", {})}, ""},
      {{Share("b", Shard{1, 2}), Share("a", Shard{0, 2})}, ""},
      {{}, "no reports"},
      {{Share("a", Shard{0, 2}), Share("b", Shard{1, 3})}, "b is share 1/3, a share 0/2: not shares of one split"},
      {{Share("a", Shard{0, 2}), Share("w", {})}, "not shares of one split"},
      {{Share("a", Shard{0, 3}), Share("b", Shard{0, 3}), Share("c", Shard{2, 3})}, "b and a are both share 0/3"},
      {{Share("a", Shard{0, 3}), Share("b", Shard{1, 3})}, "share 2 of 3 is missing (1 of 3)"},
      {{Share("a", Shard{0, 2}), Share("b", Shard{1, 2}, "other")}, "b was made with other options than a"},
      {{Share("a", Shard{3, 12})}, "shares 0, 1, 2, 4, 5, 6, 7, 8, 9, 10, ... of 12 are missing (11 of 12)"},
  };
  for (const auto& row : rows) {
    const std::string error = CheckShares(row.reports);
    if (row.error.empty()) {
      EXPECT_EQ(error, "");
    } else {
      EXPECT_NE(error.find(row.error), std::string::npos) << error;
    }
  }
  // A split into billions is counted, not listed.
  EXPECT_NE(CheckShares({Share("a", Shard{0, 4294967295u})}).find("(4294967294 of 4294967295)"), std::string::npos);
}

TEST(SharesTest, SharesMustHaveSearchedOneTree) {
  const FoundPaths tree = DescribeFoundPaths({"b.exe", "a.exe"});
  EXPECT_EQ(tree, DescribeFoundPaths({"a.exe", "b.exe"}));
  EXPECT_EQ(CheckFoundAgree({"a", "b"}, {tree, tree}), "");
  // A worker whose folder was missing found nothing.
  EXPECT_NE(CheckFoundAgree({"a", "b"}, {tree, DescribeFoundPaths({})}).find("b found 0 paths before sharding, a 2"),
            std::string::npos);
  EXPECT_NE(CheckFoundAgree({"a", "b"}, {tree, DescribeFoundPaths({"a.exe", "c.exe"})}).find("(other paths)"),
            std::string::npos);
}

}  // namespace
}  // namespace packprobe::gate
