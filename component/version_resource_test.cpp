#include <gtest/gtest.h>

#include "component/component_info.h"
#include "util/text.h"
#include "tests/support/pe_builder.h"
#include "tests/support/scratch_dir.h"

namespace packprobe {
namespace {

using testsupport::BuildVersionedProgram;

// A record that has not inspected anything, so that one version read can be
// watched on its own; the unread fields hold a marker to show "nothing
// stored".
constexpr VersionNumber kUntouched = 4242;

class VersionResourceTest : public ::testing::Test {
 protected:
  VersionResourceTest() : record_(nullptr) {
    record_.stubVersion = kUntouched;
    record_.setupVersion = kUntouched;
  }

  // Writes a program whose U.S.-English table holds `strings`; returns its path.
  std::u16string Program(const testsupport::VersionStrings& strings,
                         const std::u16string& tableKey = u"040904B0") {
    return Write(BuildVersionedProgram(strings, tableKey));
  }

  std::u16string Write(const std::string& bytes) {
    const auto path = dir_ / ("program" + std::to_string(++count_) + ".exe");
    testsupport::WriteFile(path, bytes);
    return Utf8ToUtf16(path.string());
  }

  bool ReadStub(const std::u16string& path) {
    record_.stubVersion = kUntouched;
    record_.componentPath = &path;
    const bool ok = record_.ReadStubVersion();
    record_.componentPath = nullptr;
    return ok;
  }

  VersionNumber ReadSetup(const std::u16string& path) {
    record_.setupVersion = kUntouched;
    record_.ReadSetupVersion(path);
    return record_.setupVersion;
  }

  testsupport::ScratchDir dir_;
  int count_ = 0;
  ComponentInfo record_;
};

TEST_F(VersionResourceTest, StubVersionIsTheLastSevenCharactersOfComments) {
  struct Case {
    std::u16string comments;
    bool ok;
    VersionNumber stored;
  } cases[] = {
      {u"VEKStub 3.0.3.0", true, 3030},
      {u"3.0.3.0", true, 3030},
      {u"Release 2.10.0.0", true, 1000},   // window ".10.0.0"
      {u"VEKStub 3.0.3.0 beta", false, 0},  // window ".0 beta" reads as 0, stored anyway
      {u"VEKStub 3.0.3.0 ", true, 30},      // window ".0.3.0 "
      {u"0.0.0.0", false, 0},
      {u".......", false, kUntouched},      // no digits: nothing stored
      {u"x.......", false, kUntouched},
      {u"", false, kUntouched},
      // Shorter than the window: taken whole.
      {u"3.1", true, 31},
      {u"7", true, 7},
      {u" -2.0", true, -20},
      // Longer than any fixed buffer: only the tail counts.
      {std::u16string(20000, u'w') + u" 3.0.3.0", true, 3030},
  };
  for (const Case& c : cases) {
    const std::u16string path = Program({{u"Comments", c.comments}});
    const std::string label = Utf16ToUtf8(c.comments.substr(0, 40));
    EXPECT_EQ(ReadStub(path), c.ok) << label;
    EXPECT_EQ(record_.stubVersion, c.stored) << label;
  }
}

TEST_F(VersionResourceTest, SetupVersionIsTheFirstSevenCharactersOfFileVersion) {
  struct Case {
    std::u16string fileVersion;
    VersionNumber stored;
  } cases[] = {
      {u"1.0", 10},
      {u"7.9.1.0", 7910},
      {u"10.0.19041.1", 10019},  // window "10.0.19"
      {u"0.0.0.0", 0},           // a 0 is stored like any other number
      {u"1.2.3.4.5.6.7.8", 1234},
      {u"-5", -5},
      {u"....", kUntouched},
      {u"", kUntouched},
      // -1 would say "no setup program" and exempt it from the range check.
      {u"-1", kUntouched},
      {u"-.1", kUntouched},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadSetup(Program({{u"FileVersion", c.fileVersion}})), c.stored)
        << Utf16ToUtf8(c.fileVersion);
  }
}

TEST_F(VersionResourceTest, OnlyTheUsEnglishUtf16TableCounts) {
  const testsupport::VersionStrings strings = {{u"Comments", u"3.0.3.0"}, {u"FileVersion", u"7.9.1.0"}};
  // Real files often write the key in lower case.
  const std::u16string lower = Program(strings, u"040904b0");
  EXPECT_TRUE(ReadStub(lower));
  EXPECT_EQ(record_.stubVersion, 3030);
  EXPECT_EQ(ReadSetup(lower), 7910);

  for (const std::u16string key : {u"040704B0", u"04090000", u"000004B0"}) {
    const std::u16string other = Program(strings, key);
    EXPECT_FALSE(ReadStub(other)) << Utf16ToUtf8(key);
    EXPECT_EQ(record_.stubVersion, kUntouched);
    EXPECT_EQ(ReadSetup(other), kUntouched) << Utf16ToUtf8(key);
  }
}

TEST_F(VersionResourceTest, FilesWithoutTheStringStoreNothing) {
  const std::u16string other = Program({{u"ProductName", u"3.0.3.0"}});
  testsupport::ProgramContents none;
  const std::u16string noResource = Write(testsupport::BuildProgram(none).bytes);
  const std::u16string notAProgram = Write("3.0.3.0");
  const std::u16string missing = Utf8ToUtf16((dir_ / "missing.exe").string());
  for (const std::u16string* path : {&other, &noResource, &notAProgram, &missing}) {
    EXPECT_FALSE(ReadStub(*path));
    EXPECT_EQ(record_.stubVersion, kUntouched);
    EXPECT_EQ(ReadSetup(*path), kUntouched);
  }
  record_.componentPath = nullptr;
  EXPECT_FALSE(record_.ReadStubVersion());
}

}  // namespace
}  // namespace packprobe
