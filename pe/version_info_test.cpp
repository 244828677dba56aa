#include "pe/version_info.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "pe/pe_version_resource.h"
#include "util/text.h"
#include "tests/support/pe_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"

namespace packprobe::platform {
namespace {

constexpr std::u16string_view kComments = u"\\StringFileInfo\\040904B0\\Comments";
constexpr std::u16string_view kFileVersion = u"\\StringFileInfo\\040904B0\\FileVersion";

std::u16string FixturePath(const std::string& name) {
  return Utf8ToUtf16((testsupport::SourceDir() / "pe" / "testdata" / name).string());
}

// What the three service calls give for one query, as the inspection uses
// them.
std::optional<std::u16string> ServiceText(const std::u16string& path, std::u16string_view query) {
  const std::uint32_t size = GetVersionInfoSize(path);
  if (size == 0) return std::nullopt;
  const std::optional<VersionInfoBlock> block = VersionInfoBlock::Read(path, size);
  if (!block) return std::nullopt;
  EXPECT_EQ(block->capacity(), 2 * std::size_t{size});
  return block->QueryText(query);
}

// What the portable reader gives for the same query, from the file's bytes.
std::optional<std::u16string> ReaderText(const std::u16string& path, std::u16string_view query) {
  const std::string file = testsupport::ReadFile(Utf16ToUtf8(path));
  std::vector<std::uint8_t> data;
  const MemoryInput input(
      {reinterpret_cast<const std::uint8_t*>(file.data()), file.size()});
  if (ReadVersionResource(input, &data) != PeVersionResult::kOk) return std::nullopt;
  return QueryVersionText(ByteReader(data), query);
}

struct Fixture {
  const char* file;
  std::optional<std::u16string> comments;
  std::optional<std::u16string> fileVersion;
};

std::u16string LongComments() {
  std::u16string text;
  for (int i = 0; i < 1700; ++i) text += u"Lorem ips. ";
  return text + u" 3.0.3.0";
}

// Program files built by a real toolchain (pe/testdata/build_fixtures.sh).
// The service and the portable reader must both give these answers; on
// Windows the service is the system's own version API.
TEST(VersionInfoTest, FixturesFromARealToolchain) {
  const Fixture fixtures[] = {
      {"stub32.exe", u"VEKStub 3.0.3.0", u"3.0.3.0"},
      {"stub64.exe", u"Build 2.10.0.0", u"1.0"},
      {"lowercase32.exe", u"3.1", u"7.9.1.0"},
      {"lowercase64.exe", std::nullopt, u"10.0.19041.1"},
      {"german32.exe", std::nullopt, std::nullopt},
      {"noversion32.exe", std::nullopt, std::nullopt},
      {"noversion64.exe", std::nullopt, std::nullopt},
      {"tables32.exe", u"VEKStub 3.0.3.0", u"3.0.3.0"},
      {"languages64.exe", u"3.0.3.0", std::nullopt},
      {"languages32.exe", u"4.0.0.0", std::nullopt},
      {"neutral32.exe", u"6.0.0.0", std::nullopt},
      {"longcomments32.exe", LongComments(), std::nullopt},
      {"emptycomments32.exe", u"", u"7.9.1.0"},
  };
  for (const Fixture& f : fixtures) {
    const std::u16string path = FixturePath(f.file);
    EXPECT_EQ(ServiceText(path, kComments), f.comments) << f.file;
    EXPECT_EQ(ServiceText(path, kFileVersion), f.fileVersion) << f.file;
    EXPECT_EQ(ReaderText(path, kComments), f.comments) << f.file;
    EXPECT_EQ(ReaderText(path, kFileVersion), f.fileVersion) << f.file;
  }
  EXPECT_EQ(GetVersionInfoSize(FixturePath("noversion32.exe")), 0u);
  EXPECT_EQ(GetVersionInfoSize(FixturePath("noversion64.exe")), 0u);
}

TEST(VersionInfoTest, FilesWithoutVersionInformation) {
  testsupport::ScratchDir dir;
  testsupport::WriteFile(dir / "text.exe", "not a program");
  for (const std::u16string& path :
       {Utf8ToUtf16((dir / "missing.exe").string()), Utf8ToUtf16(dir.path().string()),
        Utf8ToUtf16((dir / "text.exe").string()), std::u16string(u"bad\0name", 8)}) {
    EXPECT_EQ(GetVersionInfoSize(path), 0u);
    EXPECT_FALSE(VersionInfoBlock::Read(path, 100).has_value());
  }
  EXPECT_FALSE(VersionInfoBlock::Read(FixturePath("stub32.exe"), 0).has_value());
}

#ifndef _WIN32
TEST(VersionInfoTest, ANamedPipeIsNoProgramAndDoesNotBlock) {
  testsupport::ScratchDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe.exe").c_str(), 0600), 0);
  EXPECT_EQ(GetVersionInfoSize(Utf8ToUtf16((dir / "pipe.exe").string())), 0u);
}
#endif

// On Windows the version API's pointer runs on past a value that has no
// terminator; the service stops at the end of the value's own node there too.
TEST(VersionInfoTest, AnUnterminatedValueEndsWithItsNode) {
  testsupport::VersionNode root =
      testsupport::VersionInfoNode({{u"040904B0", {{u"Comments", u"x"}, {u"FileVersion", u"7.9"}}}});
  testsupport::VersionNode& comments = root.children.at(0).children.at(0).children.at(0);
  ASSERT_EQ(comments.key, u"Comments");
  // Twelve characters end on a 32-bit boundary: the next string's header
  // follows at once.
  comments.value = testsupport::Utf16Bytes(u"Stub 3.0.3.0");
  comments.valueLength.reset();
  testsupport::ProgramContents contents;
  contents.resources.push_back(testsupport::VersionResource(testsupport::EncodeVersionNode(root)));
  testsupport::ScratchDir dir;
  testsupport::WriteFile(dir / "unterminated.exe", testsupport::BuildProgram(contents).bytes);
  const std::u16string path = Utf8ToUtf16((dir / "unterminated.exe").string());
  EXPECT_EQ(ServiceText(path, kComments), u"Stub 3.0.3.0");
  EXPECT_EQ(ServiceText(path, kFileVersion), u"7.9");
}

TEST(VersionInfoTest, ABlockReadShortHoldsOnlyWhatWasAskedFor) {
  const std::u16string path = FixturePath("stub32.exe");
  const std::uint32_t size = GetVersionInfoSize(path);
  ASSERT_GT(size, 0u);
  const std::optional<VersionInfoBlock> whole = VersionInfoBlock::Read(path, size);
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->QueryText(kComments), u"VEKStub 3.0.3.0");
  // Six bytes: the root's header, but none of its children.
  const std::optional<VersionInfoBlock> header = VersionInfoBlock::Read(path, 6);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->QueryText(kComments), std::nullopt);
}

}  // namespace
}  // namespace packprobe::platform
