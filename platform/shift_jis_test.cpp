#include "platform/shift_jis.h"

#include <gtest/gtest.h>

#include <clocale>

namespace packprobe::platform {
namespace {

TEST(ShiftJisTest, DecodesCodePage932PairsUnderAnyLocale) {
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(DecodeShiftJisPair(0x93, 0xFA), u'\u65E5');
  EXPECT_EQ(DecodeShiftJisPair(0x96, 0x7B), u'\u672C');
  EXPECT_EQ(DecodeShiftJisPair(0x82, 0xA0), u'\u3042');  // hiragana a
  EXPECT_EQ(DecodeShiftJisPair(0x81, 0x5F), u'\uFF3C');  // full-width backslash
  EXPECT_EQ(DecodeShiftJisPair(0x87, 0x40), u'\u2460');  // circled one, a code page 932 addition
  EXPECT_EQ(DecodeShiftJisPair(0xE0, 0x40), u'\u6F3E');
}

TEST(ShiftJisTest, RejectsBytesThatAreNoPair) {
  EXPECT_FALSE(DecodeShiftJisPair(0x81, 0x20));  // trail byte out of range
  EXPECT_FALSE(DecodeShiftJisPair(0x93, 0x3C));
  EXPECT_FALSE(DecodeShiftJisPair(0x41, 0x42));  // two single-byte characters
  EXPECT_FALSE(DecodeShiftJisPair(0xB1, 0x40));  // a one-byte katakana first
  EXPECT_FALSE(DecodeShiftJisPair(0x80, 0x40));
  EXPECT_FALSE(DecodeShiftJisPair(0xFF, 0x40));
  EXPECT_FALSE(DecodeShiftJisPair(0x85, 0x40));  // an unassigned row
}

}  // namespace
}  // namespace packprobe::platform
