#include "report/escape.h"

#include <gtest/gtest.h>

#include <string>

namespace packprobe::report {
namespace {

TEST(EscapeTest, EachFormatEscapesWhatEndsOrBreaksItsSyntax) {
  const struct {
    std::string (*escape)(std::string_view);
    const char* raw;
    const char* escaped;
  } rows[] = {
      {JsonString, "a\"b\\c", "\"a\\\"b\\\\c\""},
      {JsonString, "\n\t\x01\x7f", "\"\\n\\t\\u0001\x7f\""},
      {JsonString, "bad\xff", "\"bad\xEF\xBF\xBD\""},
      {CsvField, "plain", "plain"},
      {CsvField, "a,b", "\"a,b\""},
      {CsvField, "q\"uote\r\n", "\"q\"\"uote\r\n\""},
      {XmlText, "<a & 'b'>", "&lt;a &amp; &apos;b&apos;&gt;"},
      {XmlText, "tab\tline\ncr\r\x01", "tab\tline\ncr&#13;\xEF\xBF\xBD"},
      {XmlAttribute, "tab\tline\n\"", "tab&#9;line&#10;&quot;"},
      {XmlText, "\xEF\xBF\xBE", "\xEF\xBF\xBD"},
      {GithubData, "50%\r\n::x,y", "50%25%0D%0A::x,y"},
      {GithubProperty, "a:b,c%", "a%3Ab%2Cc%25"},
      {MarkdownText, "kit_v2*[x](y).exe", "kit\\_v2\\*\\[x\\](y).exe"},
      {MarkdownText, "a|b<c>&d`e~f$g\\h", "a\\|b\\<c\\>\\&d\\`e\\~f\\$g\\\\h"},
      {MarkdownText, "www.host http://x new\nline", "www\\.host http\\://x new\\\\nline"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.escape(row.raw), row.escaped) << row.raw;
}

}  // namespace
}  // namespace packprobe::report
