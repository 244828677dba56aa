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
      {"..kit.exe", "..kit.exe", true},
      {"*", "new\nline.exe", true},
      {"a*a*a*a*a*a*a*a*b", std::string(200, 'a'), false},  // no exponential backtracking
  };
  for (const auto& [glob, path, expected] : cases) {
    EXPECT_EQ(GlobMatchesPath(glob, path), expected) << glob << " vs " << path;
  }
}

// A pattern that cannot mean what it says is refused rather than matched
// literally.
TEST(SelectionTest, MalformedPatternsAreNamed) {
  const std::tuple<const char*, const char*> cases[] = {
      {"*.exe", ""}, {"[ab]", ""}, {"[]]", ""}, {"\\[x", ""}, {"", "empty"},
      {"[unclosed", "never closed"}, {"a[!", "never closed"}, {"trail\\", "escapes nothing"},
  };
  for (const auto& [glob, error] : cases) {
    const std::string why = GlobError(glob);
    if (*error == '\0') {
      EXPECT_EQ(why, "") << glob;
    } else {
      EXPECT_NE(why.find(error), std::string::npos) << glob << ": " << why;
    }
  }
}

// The command line's patterns match the path relative to the folder named;
// a configuration file's, the path relative to the file's folder, so that
// scanning a subfolder keeps the repository's patterns.
TEST(SelectionTest, PatternsMatchFromTheirOwnFolder) {
  const std::vector<ExcludePattern> command = {{"legacy/*.exe", {}}};
  const std::vector<ExcludePattern> file = {{"rel/legacy", "/repo"}};
  const std::tuple<const std::vector<ExcludePattern>*, const char*, const char*, bool> cases[] = {
      {&command, "legacy/a.exe", "/repo/rel/legacy/a.exe", true},
      {&command, "rel/legacy/a.exe", "/x/rel/legacy/a.exe", false},  // relative to the folder named
      {&file, "legacy/a.exe", "/repo/rel/legacy/a.exe", true},     // scanning repo/rel
      {&file, "rel/legacy/a.exe", "/repo/rel/legacy/a.exe", true},  // scanning repo
      {&file, "a.exe", "/repo/rel/legacy/a.exe", true},
      {&file, "legacy/a.exe", "/repository/rel/legacy/a.exe", false},  // outside the file's folder
      {&file, "legacy/a.exe", "/elsewhere/legacy/a.exe", false},
  };
  for (const auto& [patterns, relative, absolute, excluded] : cases) {
    EXPECT_EQ(Excluded(*patterns, relative, absolute), excluded) << relative << " " << absolute;
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
