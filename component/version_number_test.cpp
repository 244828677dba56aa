#include "component/version_number.h"

#include <gtest/gtest.h>

namespace packprobe {
namespace {

TEST(VersionNumberTest, ParsesDottedTexts) {
  const std::pair<std::u16string, VersionNumber> cases[] = {
      {u"3.0.3.0", 3030}, {u"3.0.0.0", 3000}, {u"3.0.3", 303},       {u"3", 3},
      {u"", -1},          {u"...", -1},       {u"abc", 0},            {u"3a.1", 3},
      {u"-5", -5},        {u"1.2.3.4.5.6.7", 1234567}, {u" \t42", 42}, {u"+7", 7},
      {u"30.3.0", 3030},  {u"3.0.10.0", 30100},        {u"- 5", 0},   {u"-", 0},
      // White space is tab to carriage return, and space; nothing next to them.
      {u"\r\v\f42", 42}, {u"\b" u"42", 0}, {u"\x0E" u"42", 0}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ParseVersionNumber(text), expected) << std::string(text.begin(), text.end());
  }
}

TEST(VersionNumberTest, ReadsOnlySevenCharactersOfALongText) {
  EXPECT_EQ(CountVersionDigits(u"1.2.3.4.5.6.7.8"), 8u);
  EXPECT_EQ(ParseVersionNumber(u"1.2.3.4.5.6.7.8"), 1234567);
  EXPECT_EQ(ReadDecimal(u"99999999999999"), INT32_MAX);
}

TEST(VersionNumberTest, FormatsAtMostFourDigitsWithDots) {
  const std::pair<VersionNumber, std::u16string> cases[] = {
      {3030, u"3.0.3.0"}, {3000, u"3.0.0.0"}, {12345, u"1.2.3.4"}, {1234567, u"1.2.3.4"},
      {303, u"3.0.3."},   {30, u"3.0."},      {0, u"0."},          {-5, u"-.5."},
      {-1, u"-.1."},      {-999999, u"-.9.9.9"}, {9999999, u"9.9.9.9"},
      {10000000, u"0.0.0.0"}, {-1000000, u"0.0.0.0"}, {INT32_MIN, u"0.0.0.0"}};
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(FormatVersionNumber(value), expected) << value;
  }
}

}  // namespace
}  // namespace packprobe
