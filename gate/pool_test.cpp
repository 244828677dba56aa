#include "gate/check.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace packprobe::gate {
namespace {

// Records come out in index order whatever order the checks finish in (here
// the later ones first), on one thread or several; an emit that says stop
// starts no further check.
TEST(PoolTest, PoolEmitsInIndexOrderAndStopsWhenTold) {
  constexpr std::size_t kCount = 40;
  for (const unsigned jobs : {1u, 3u, 8u}) {
    SCOPED_TRACE(jobs);
    std::atomic<std::size_t> started{0};
    const auto check = [&](std::size_t index) {
      ++started;
      std::this_thread::sleep_for(std::chrono::microseconds(200 * (kCount - index % 8)));
      ScanRecord record;
      record.path = std::to_string(index);
      return record;
    };
    std::vector<std::string> order;
    RunPool(kCount, jobs, check, [&](ScanRecord&& record) {
      order.push_back(record.path);
      return true;
    });
    ASSERT_EQ(order.size(), kCount);
    for (std::size_t i = 0; i < kCount; ++i) EXPECT_EQ(order[i], std::to_string(i));

    started = 0;
    std::size_t emitted = 0;
    RunPool(kCount, jobs, check, [&](ScanRecord&&) { return ++emitted < 5; });
    EXPECT_EQ(emitted, 5u);
    // At most the window of records ahead of the one that said stop.
    EXPECT_LE(started.load(), 5 + 4 * jobs);
  }
}

}  // namespace
}  // namespace packprobe::gate
