#include "util/text.h"

#include <gtest/gtest.h>

namespace packprobe {
namespace {

TEST(TextTest, RoundTripsAllPlanes) {
  const std::u16string text = u"a\u00e9\u65e5\U0001F600z";
  const std::string utf8 = Utf16ToUtf8(text);
  EXPECT_EQ(utf8, "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80z");
  EXPECT_EQ(Utf8ToUtf16(utf8), text);
  EXPECT_EQ(Utf8ToUtf16Strict(utf8), text);
}

TEST(TextTest, MalformedUtf8BecomesReplacementCharacters) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"\xFF", u"\uFFFD"},
      {"a\x80z", u"a\uFFFDz"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},          // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE6\x97", u"\uFFFD\uFFFD"},          // truncated
  };
  for (const auto& [bytes, expected] : cases) {
    EXPECT_EQ(Utf8ToUtf16(bytes), expected);
    EXPECT_FALSE(Utf8ToUtf16Strict(bytes).has_value());
  }
}

TEST(TextTest, UnpairedSurrogatesBecomeReplacementCharacters) {
  const std::u16string lone_high = u"a\xD800z";
  const std::u16string lone_low = u"\xDC00";
  EXPECT_EQ(Utf16ToUtf8(lone_high), "a\xEF\xBF\xBDz");
  EXPECT_EQ(Utf16ToUtf8(lone_low), "\xEF\xBF\xBD");
}

TEST(TextTest, EscapedBytesRoundTripAndPrintAsReplacementCharacters) {
  // Malformed bytes next to well-formed sequences of every length.
  const std::string cases[] = {"plain", "a\xFF\xFEz", "\xC3\xA9\x80", "\xF0\x9F\x98\x80\xED\xA0\x80",
                               "\xE6\x97", "d\\k\xC0"};
  for (const std::string& bytes : cases) {
    const std::u16string text = BytesToUtf16Escaped(bytes);
    EXPECT_EQ(Utf16EscapedToBytes(text), bytes);
    EXPECT_EQ(Utf16ToUtf8(text), Utf16ToUtf8(Utf8ToUtf16(bytes)));
  }
  // Lone surrogates that stand for no byte, and nulls, name no file.
  EXPECT_FALSE(Utf16EscapedToBytes(u"a\xD800").has_value());
  EXPECT_FALSE(Utf16EscapedToBytes(u"\xDC7F").has_value());
  EXPECT_FALSE(Utf16EscapedToBytes(std::u16string(u"a\0b", 3)).has_value());
}

}  // namespace
}  // namespace packprobe
