#include "util/shown_text.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

namespace packprobe {
namespace {

// Every report shows a path in one form that no other path shares.
TEST(ShownTextTest, PathsShowOneWayAndNeverAlike) {
  const std::tuple<std::string, std::string> rows[] = {
      {"rel/kit.exe", "rel/kit.exe"},
      {"caf\xc3\xa9/\xe6\x97\xa5.exe", "caf\xc3\xa9/\xe6\x97\xa5.exe"},  // a final multi-byte character
      {"back\\slash", "back\\slash"},                                     // plain: shown as it is
      {"new\nline", "\"new\\nline\""},
      {"del\x7f", "\"del\\x7f\""},
      {"quote\"d\\", "quote\"d\\"},                         // quotes inside stay too
      {"\"lead\\\n", "\"\\\"lead\\\\\\n\""},
      {"\"lead", "\"\\\"lead\""},
      {"bad\xff", "\"bad\\xff\""},
      {"cut\xe6\x97", "\"cut\\xe6\\x97\""},  // a multi-byte character cut at the end
      {"bidi\xe2\x80\xae", "\"bidi\\u202E\""},
  };
  std::set<std::string> shown;
  for (const auto& [raw, expected] : rows) {
    EXPECT_EQ(ShownPath(raw), expected) << raw;
    EXPECT_EQ(IsPlainPath(raw), ShownPath(raw) == raw) << raw;
    shown.insert(ShownPath(raw));
  }
  EXPECT_EQ(shown.size(), std::size(rows));
  // The quoted form of one path is never another path shown plain.
  EXPECT_NE(ShownPath("a\\nb"), ShownPath("a\nb"));
  EXPECT_NE(ShownPath("\"a\\nb\""), ShownPath("a\nb"));
}

TEST(ShownTextTest, Base64RoundTripsAndRefusesWhatIsNot) {
  for (const std::string bytes : {"", "f", "fo", "foo", "foob", "\xff\x00\x80"}) {
    EXPECT_EQ(FromBase64(Base64(bytes)), bytes);
  }
  for (const char* text : {"Zg", "Zg=", "Z===", "Zm9v!", "Zg==Zg==", "=Zg="}) {
    EXPECT_EQ(FromBase64(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace packprobe
