// The conversion of output for files and pipes on Windows.
#include "platform/console_windows.h"

#include <gtest/gtest.h>

#include <string>

namespace packprobe::platform {
namespace {

constexpr unsigned kWesternEuropean = 1252;
constexpr unsigned kJapanese = 932;
constexpr unsigned kUtf8 = 65001;

TEST(ConsoleWindowsTest, WhatTheCodePageCannotHoldBecomesAQuestionMark) {
  // Latin-1 text is held by the Western code page; a Japanese name is not,
  // and neither it nor its loss may cut off the rest of the line.
  EXPECT_EQ(ToCodePage(u"Component name: Caf\u00e9\n", kWesternEuropean),
            "Component name: Caf\xE9\n");
  EXPECT_EQ(ToCodePage(u"Component name: \u65e5\u672c\u8a9e Kit\n", kWesternEuropean),
            "Component name: ??? Kit\n");
  // An unpaired surrogate is replaced in the same way.
  EXPECT_EQ(ToCodePage(std::u16string(u"a") + char16_t{0xD800} + u"b\n", kWesternEuropean),
            "a?b\n");
  EXPECT_EQ(ToCodePage(u"", kWesternEuropean), "");
}

TEST(ConsoleWindowsTest, ACodePageThatHoldsTheTextKeepsIt) {
  EXPECT_EQ(ToCodePage(u"\u65e5\u672c\u8a9e Kit\n", kJapanese), "\x93\xFA\x96\x7B\x8C\xEA Kit\n");
  EXPECT_EQ(ToCodePage(u"\u65e5\u672c \U0001F600\n", kUtf8),
            "\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\n");
}

TEST(ConsoleWindowsTest, LongTextIsConvertedWholeAcrossChunks) {
  // Long enough to be converted in pieces, with surrogate pairs at every
  // possible position of a piece's end.
  std::u16string text;
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    text += (i % 3 == 0) ? u"\U0001F600" : u"x";
    expected += (i % 3 == 0) ? "\xF0\x9F\x98\x80" : "x";
  }
  EXPECT_EQ(ToCodePage(text, kUtf8), expected);
}

}  // namespace
}  // namespace packprobe::platform
