#include "util/byte_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace packprobe {
namespace {

TEST(ByteReaderTest, ReadsLittleEndianWithinBounds) {
  const std::vector<std::uint8_t> data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF};
  const ByteReader reader(data);
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0;
  ASSERT_TRUE(reader.ReadU16(0, &u16));
  EXPECT_EQ(u16, 0x0201);
  ASSERT_TRUE(reader.ReadU32(5, &u32));
  EXPECT_EQ(u32, 0xFF080706u);
  ASSERT_TRUE(reader.ReadU64(0, &u64));
  EXPECT_EQ(u64, 0x0807060504030201ull);

  EXPECT_FALSE(reader.ReadU32(6, &u32));
  EXPECT_FALSE(reader.ReadU16(8, &u16));
  EXPECT_FALSE(reader.ReadU64(2, &u64));
}

TEST(ByteReaderTest, RangeChecksCannotOverflow) {
  const std::vector<std::uint8_t> data(16);
  const ByteReader reader(data);
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  EXPECT_TRUE(reader.Contains(16, 0));
  EXPECT_FALSE(reader.Contains(17, 0));
  EXPECT_FALSE(reader.Contains(8, kMax));
  EXPECT_FALSE(reader.Contains(kMax, 2));
  std::uint32_t u32 = 0;
  EXPECT_FALSE(reader.ReadU32(kMax - 1, &u32));

  const auto sub = reader.Sub(4, 8);
  ASSERT_TRUE(sub.has_value());
  EXPECT_EQ(sub->size(), 8u);
  EXPECT_FALSE(reader.Sub(12, 8).has_value());
  EXPECT_FALSE(reader.Sub(kMax, 1).has_value());
}

}  // namespace
}  // namespace packprobe
