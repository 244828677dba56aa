#include "scan/host.h"

#include <gtest/gtest.h>

namespace packprobe::scan {
namespace {

// A container limited to 1.5 processors runs two checks at once, not one
// per processor of the host.
TEST(HostTest, CpuQuotasGiveTheProcessorsTheyAllow) {
  EXPECT_EQ(ProcessorsOfQuota("150000 100000\n"), 2u);
  EXPECT_EQ(ProcessorsOfQuota("100000 100000"), 1u);
  EXPECT_EQ(ProcessorsOfQuota("5000 100000"), 1u);
  EXPECT_EQ(ProcessorsOfQuota("max 100000\n"), std::nullopt);
  EXPECT_EQ(ProcessorsOfQuota("-1 100000"), std::nullopt);
  EXPECT_EQ(ProcessorsOfQuota(""), std::nullopt);
  EXPECT_EQ(ProcessorsOfQuota("1 0"), std::nullopt);
  EXPECT_GE(DefaultJobs(), 1u);
}

}  // namespace
}  // namespace packprobe::scan
