#include "gate/selection.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace packprobe::gate {
namespace {

TEST(SelectionTest, GlobsMatchNamesAnywhereAndPathsFromTheTop) {
  const std::tuple<const char*, std::string, bool> cases[] = {
      {"*.exe", "a/b/kit.exe", true},          // a name anywhere
      {"legacy", "legacy/old/kit.exe", true},  // a folder name excludes what is below it
      {"legacy", "new/legacy.exe", false},
      {"kit?.exe", "kit1.exe", true},
      {"kit?.exe", "kit12.exe", false},
      {"legacy/*.exe", "legacy/a.exe", true},
      {"legacy/*.exe", "legacy/sub/a.exe", false},  // "*" stays within a folder
      {"legacy/**/*.exe", "legacy/sub/deep/a.exe", true},
      {"legacy/**/*.exe", "legacy/a.exe", true},  // "**/" may match no folder
      {"**/beta/*", "x/y/beta/a.exe", true},
      {"legacy/old", "legacy/old/a.exe", true},  // a leading part of the path
      {"egacy/old", "legacy/old/a.exe", false},
      {"/top.exe", "top.exe", true},
      {"[ab]*.exe", "b1.exe", true},
      {"[!ab]*.exe", "b1.exe", false},
      {"[a-c]1.exe", "c1.exe", true},
      {"\\*.exe", "*.exe", true},
      {"\\*.exe", "a.exe", false},
      {"[unclosed", "[unclosed", true},
      {"*", "new\nline.exe", true},
      {"a*a*a*a*a*a*a*a*b", std::string(200, 'a'), false},  // no exponential backtracking
  };
  for (const auto& [glob, path, expected] : cases) {
    EXPECT_EQ(GlobMatchesPath(glob, path), expected) << glob << " vs " << path;
  }
}

TEST(SelectionTest, ListsKeepEveryByteButTheirSeparator) {
  const std::string text("a\nb\0\0c d\r\0tail", 14);
  EXPECT_EQ(SplitNulList(text), (std::vector<std::string>{"a\nb", "c d\r", "tail"}));
  EXPECT_EQ(SplitPathList("a.exe\r\n\nb c.exe\n\r\nlast.exe"),
            (std::vector<std::string>{"a.exe", "b c.exe", "last.exe"}));
}

}  // namespace
}  // namespace packprobe::gate
