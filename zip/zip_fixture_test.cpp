// Archives written by real tools (zip/testdata/make_fixtures.sh made them):
// they open, and every file entry extracts byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "util/text.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_writer.h"
#include "zip/zip_file.h"

namespace vekzip {
namespace {

namespace fs = std::filesystem;
using packprobe::Utf8ToUtf16;
using packprobe::testsupport::DosDate;
using packprobe::testsupport::DosTime;
using packprobe::testsupport::ReadFile;
using packprobe::testsupport::ScratchDir;
using packprobe::testsupport::SourceDir;

fs::path TestData() { return SourceDir() / "zip" / "testdata"; }

// Extracts every file entry of the fixture and compares it with the file it
// was made from; returns the names of the entries seen.
std::vector<std::string> ExtractAndCompare(ZIP_File& archive) {
  ScratchDir out;
  std::vector<std::string> names;
  for (ZIP_FileEntry* entry : archive.Entries()) {
    const std::string name = entry->Name();
    names.push_back(name);
    if (entry->IsDirectory()) continue;
    const fs::path target = out / "extracted";
    const std::u16string targetPath = Utf8ToUtf16(target.string());
    EXPECT_EQ(entry->Extract(&targetPath, false), ZIP_OK) << name;
    EXPECT_EQ(ReadFile(target), ReadFile(TestData() / "src" / name)) << name;
    EXPECT_FALSE(ReadFile(target).empty()) << name;
  }
  return names;
}

TEST(ZipFixtureTest, InfoZipArchive) {
  ZIP_File archive;
  ASSERT_EQ(archive.Open(Utf8ToUtf16((TestData() / "info_zip.zip").string()), true), ZIP_OK);
  EXPECT_FALSE(archive.hasLeadingData());
  EXPECT_EQ(ExtractAndCompare(archive),
            (std::vector<std::string>{"readme.txt", "veksetup.exe", "stored.bin", "sub/",
                                      "sub/notes.txt"}));
  EXPECT_EQ(archive.FindEntry(u"veksetup.exe")->method, 8u);
  EXPECT_EQ(archive.FindEntry(u"stored.bin")->method, 0u);
  EXPECT_EQ(archive.FindEntry(u"readme.txt")->modDate, DosDate(2020, 5, 17));
  EXPECT_EQ(archive.FindEntry(u"readme.txt")->modTime, DosTime(10, 20, 30));
}

TEST(ZipFixtureTest, InfoZipSelfExtractorAdjustedWithDashA) {
  ZIP_File archive;
  ASSERT_EQ(archive.Open(Utf8ToUtf16((TestData() / "info_zip_sfx.exe").string()), true), ZIP_OK);
  EXPECT_TRUE(archive.hasLeadingData());
  EXPECT_EQ(archive.startOffset(), 4096u);  // the stub's size
  EXPECT_EQ(ExtractAndCompare(archive).size(), 5u);
}

TEST(ZipFixtureTest, UnadjustedSelfExtractorIsBadFormat) {
  ZIP_File archive;
  EXPECT_EQ(archive.Open(Utf8ToUtf16((TestData() / "info_zip_unadjusted.exe").string()), true),
            ZIP_ERR_BAD_FORMAT);
}

TEST(ZipFixtureTest, StreamedArchiveWithDataDescriptorIsBadFormat) {
  ZIP_File archive;
  EXPECT_EQ(archive.Open(Utf8ToUtf16((TestData() / "info_zip_stream.zip").string()), true),
            ZIP_ERR_BAD_FORMAT);
}

TEST(ZipFixtureTest, PythonZipfileArchive) {
  ZIP_File archive;
  ASSERT_EQ(archive.Open(Utf8ToUtf16((TestData() / "python.zip").string()), true), ZIP_OK);
  EXPECT_STREQ(archive.comment(), "made by zipfile");
  EXPECT_EQ(ExtractAndCompare(archive),
            (std::vector<std::string>{"readme.txt", "veksetup.exe", "stored.bin",
                                      "sub/notes.txt"}));
  const ZIP_FileEntry* notes = archive.FindEntry(u"SUB/NOTES.TXT");
  ASSERT_NE(notes, nullptr);
  EXPECT_EQ(notes->method, 0u);
  EXPECT_EQ(notes->modDate, DosDate(2021, 3, 4));
  EXPECT_EQ(notes->modTime, DosTime(5, 6, 8));
  EXPECT_EQ(notes->externalAttributes, 0644u << 16);
}

}  // namespace
}  // namespace vekzip
