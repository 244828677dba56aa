// Loads that depend on POSIX facilities: pipes, files that report more than
// they hold, and the process environment that selects the locale.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "tests/support/scratch_dir.h"
#include "xml/xml_reader.h"

namespace packprobe {
namespace {

namespace fs = std::filesystem;

// The locale that every load selects from the environment: C here, under
// which no non-ASCII text can be converted by the locale's rules.
class CLocaleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(setenv("LC_ALL", "C", 1), 0); }
  void TearDown() override { unsetenv("LC_ALL"); }
};

TEST_F(CLocaleTest, OpensNonAsciiAndLongPaths) {
  testsupport::ScratchDir dir;
  fs::path deep = dir.path();
  for (int i = 0; i < 12; ++i) deep /= std::string(40, static_cast<char>('a' + i));
  fs::create_directories(deep);
  const fs::path file = deep / "\xE6\x97\xA5\xE6\x9C\xAC-\xC3\xA9.xml";
  testsupport::WriteFile(file, "<a>ok</a>");
  ASSERT_GT(file.string().size(), 500u);
  CVekXMLReader reader;
  EXPECT_EQ(reader.Load(file.u16string()), CVekXMLReader::LOAD_OK);
  EXPECT_TRUE(reader.IsLoaded());
}

// Construction, Reset and every Load select the user's locale anew, whatever
// the program set in between.
TEST(XmlReaderPosixTest, EveryResetSelectsTheUsersLocale) {
  ASSERT_EQ(setenv("LC_ALL", "C.UTF-8", 1), 0);
  const std::string user = std::setlocale(LC_ALL, "");
  testsupport::ScratchDir dir;
  testsupport::WriteFile(dir / "doc.xml", "<a/>");
  std::optional<CVekXMLReader> reader;
  const std::u16string path = (dir / "doc.xml").u16string();
  for (const std::function<void()>& reset : std::initializer_list<std::function<void()>>{
           [&] { reader.emplace(); }, [&] { reader->Load(path); }, [&] { reader->Reset(); }}) {
    std::setlocale(LC_ALL, "C");
    reset();
    EXPECT_EQ(std::setlocale(LC_ALL, nullptr), user);
  }
  unsetenv("LC_ALL");
}

TEST(XmlReaderPosixTest, PipeIsNotOpened) {
  testsupport::ScratchDir dir;
  const fs::path pipe = dir / "pipe.xml";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  CVekXMLReader reader;
  // No writer ever comes: opening must neither block nor read.
  EXPECT_EQ(reader.Load(pipe.u16string()), CVekXMLReader::LOAD_OPEN_FAILED);
}

TEST(XmlReaderPosixTest, FileShorterThanItsSizeIsAReadFailure) {
  // Files of this kind report a page as their size and hold less.
  const fs::path shortFile = "/sys/kernel/mm/transparent_hugepage/enabled";
  std::error_code error;
  if (fs::file_size(shortFile, error) != 4096 || error) GTEST_SKIP() << "no such file here";
  CVekXMLReader reader;
  EXPECT_EQ(reader.Load(shortFile.u16string()), CVekXMLReader::LOAD_READ_FAILED);
  EXPECT_FALSE(reader.IsLoaded());
}

}  // namespace
}  // namespace packprobe
