// The portable version-resource reader (pe/pe_version_resource.h)
// against the Windows version API: both read the same program files, the
// committed ones built by a real toolchain and variants built here, and
// must give the same answer to every query.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pe/pe_version_resource.h"
#include "pe/version_info.h"
#include "tests/support/pe_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"

namespace packprobe {
namespace {

namespace fs = std::filesystem;
using testsupport::BuildProgram;
using testsupport::ProgramContents;
using testsupport::StringTable;

const std::u16string kQueries[] = {
    u"\\StringFileInfo\\040904B0\\Comments",
    u"\\StringFileInfo\\040904B0\\FileVersion",
    u"\\stringfileinfo\\040904b0\\COMMENTS",
    u"\\\\StringFileInfo\\\\040904B0\\Comments",
    u"\\StringFileInfo\\040704B0\\Comments",
    u"\\StringFileInfo\\000004B0\\Comments",
    u"\\StringFileInfo\\040904E4\\Comments",
    u"\\StringFileInfo\\040904B0\\ProductName",
    u"\\StringFileInfo\\040904B0",
};

// What one reader answers for a file: whether it has version information,
// and the text under each query (up to its first null).
struct Answers {
  bool hasVersion = false;
  std::vector<std::optional<std::u16string>> texts;
  bool operator==(const Answers&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Answers& answers) {
  out << (answers.hasVersion ? "version" : "no version");
  for (const auto& text : answers.texts) {
    out << " | ";
    if (!text) {
      out << "-";
      continue;
    }
    out << '"';
    for (const char16_t c : *text) out << (c < 0x80 ? static_cast<char>(c) : '?');
    out << '"';
  }
  return out;
}

Answers FromWindowsApi(const fs::path& file) {
  Answers answers;
  const std::wstring path = file.wstring();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return answers;
  std::vector<BYTE> block(size, 0);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return answers;
  answers.hasVersion = true;
  for (const std::u16string& query : kQueries) {
    const std::wstring wideQuery(query.begin(), query.end());
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), wideQuery.c_str(), &value, &length) || value == nullptr) {
      answers.texts.push_back(std::nullopt);
      continue;
    }
    std::u16string text;
    const BYTE* at = static_cast<const BYTE*>(value);
    // A declared length of 0 is the empty text; otherwise the characters up
    // to the first null, within the block.
    for (std::size_t i = 0; length != 0 && at + i + 1 < block.data() + block.size(); i += 2) {
      const char16_t c = static_cast<char16_t>(at[i] | at[i + 1] << 8);
      if (c == 0) break;
      text.push_back(c);
    }
    answers.texts.push_back(text);
  }
  return answers;
}

Answers FromPortableReader(const std::string& bytes) {
  Answers answers;
  const MemoryInput input({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  std::vector<std::uint8_t> data;
  if (ReadVersionResource(input, &data) != PeVersionResult::kOk) return answers;
  answers.hasVersion = true;
  for (const std::u16string& query : kQueries) {
    answers.texts.push_back(QueryVersionText(ByteReader(data), query));
  }
  return answers;
}

void ExpectAgreement(const fs::path& file, const std::string& bytes) {
  const Answers windows = FromWindowsApi(file);
  EXPECT_EQ(FromPortableReader(bytes), windows) << file.filename().string();
}

TEST(VersionInfoWindowsTest, AgreesOnTheCommittedFixtures) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(testsupport::SourceDir() / "pe" / "testdata")) {
    if (entry.path().extension() != ".exe") continue;
    ExpectAgreement(entry.path(), testsupport::ReadFile(entry.path()));
    ++count;
  }
  EXPECT_GE(count, 10);
}

TEST(VersionInfoWindowsTest, AgreesOnBuiltPrograms) {
  const std::u16string longText(3000, u'x');
  std::vector<std::pair<std::string, std::string>> programs = {
      {"plain", testsupport::BuildVersionedProgram({{u"Comments", u"VEKStub 3.0.3.0"},
                                                {u"FileVersion", u"3.0.3.0"}})},
      {"lowerkey", testsupport::BuildVersionedProgram({{u"Comments", u"1.2"}}, u"040904b0")},
      {"german", testsupport::BuildVersionedProgram({{u"Comments", u"4.0"}}, u"040704B0")},
      {"empty", testsupport::BuildVersionedProgram({{u"Comments", u""}, {u"FileVersion", u"1"}})},
      {"long", testsupport::BuildVersionedProgram({{u"Comments", longText}})},
      {"nonlatin", testsupport::BuildVersionedProgram({{u"ProductName", u"\u65e5\u672c \U0001F600"}})},
  };
  for (const bool pe32Plus : {false, true}) {
    ProgramContents contents;
    contents.pe32Plus = pe32Plus;
    contents.resources.push_back(testsupport::VersionResource(
        testsupport::BuildVersionInfo({StringTable{u"040704B0", {{u"Comments", u"German"}}},
                                   StringTable{u"040904B0", {{u"Comments", u"English"}}}}),
        testsupport::kLanguageGerman));
    contents.resources.push_back(testsupport::VersionResource(
        testsupport::BuildVersionInfo({StringTable{u"040904B0", {{u"Comments", u"US"}}}}),
        testsupport::kLanguageEnglishUs));
    programs.emplace_back(pe32Plus ? "languages64" : "languages32", BuildProgram(contents).bytes);
    contents.resources.clear();
    programs.emplace_back(pe32Plus ? "noresources64" : "noresources32", BuildProgram(contents).bytes);
  }
  testsupport::ScratchDir dir;
  for (const auto& [name, bytes] : programs) {
    testsupport::WriteFile(dir / (name + ".exe"), bytes);
    ExpectAgreement(dir / (name + ".exe"), bytes);
  }
}

// What the version-information service answers (on Windows: the version
// API, asked only about files whose version resource the portable reader
// finds whole).
Answers FromService(const fs::path& file) {
  Answers answers;
  const std::u16string path = file.u16string();
  const std::uint32_t size = platform::GetVersionInfoSize(path);
  if (size == 0) return answers;
  const std::optional<platform::VersionInfoBlock> block = platform::VersionInfoBlock::Read(path, size);
  if (!block) return answers;
  answers.hasVersion = true;
  for (const std::u16string& query : kQueries) answers.texts.push_back(block->QueryText(query));
  return answers;
}

// Broken files: the API itself does not agree here (under Wine it reads a
// cut resource as if zeros followed and crashes on one outside the image),
// so the service must not pass them to it.
TEST(VersionInfoWindowsTest, ServiceAgreesOnTruncatedAndMisplacedResources) {
  const std::string whole = testsupport::BuildVersionedProgram({{u"Comments", u"VEKStub 3.0.3.0"}});
  testsupport::ScratchDir dir;
  std::vector<std::pair<std::string, std::string>> programs;
  for (std::size_t length = 0; length <= whole.size(); length += 61) {
    programs.emplace_back("cut" + std::to_string(length), whole.substr(0, length));
  }
  ProgramContents contents;
  contents.resources.push_back(testsupport::VersionResource(
      testsupport::BuildVersionInfo({StringTable{u"040904B0", {{u"Comments", u"US"}}}})));
  for (const std::uint32_t rva : {0x7FFFFF00u, 0xFFFFFFF0u, 0x00100000u}) {
    testsupport::ProgramImage image = BuildProgram(contents);
    testsupport::PutU32(image.bytes, image.dataEntries[0], rva);
    programs.emplace_back("rva" + std::to_string(rva), image.bytes);
  }
  for (const auto& [name, bytes] : programs) {
    const fs::path file = dir / (name + ".exe");
    testsupport::WriteFile(file, bytes);
    EXPECT_EQ(FromService(file), FromPortableReader(bytes)) << name;
  }
}

}  // namespace
}  // namespace packprobe
