// The version resource of the programs this project ships: what our own
// reader (pe/) and the Windows version API read from the built programs,
// which must agree with each other and carry the project version.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pe/pe_version_resource.h"
#include "tests/support/scratch_dir.h"

namespace packprobe {
namespace {

const char16_t kTable[] = u"\\StringFileInfo\\040904B0\\";

struct Program {
  const char* path;
  std::u16string description;
  std::u16string fileName;
};

std::vector<Program> ShippedPrograms() {
  std::vector<Program> programs = {
      {PACKPROBE_EXE, u"PackProbe component verifier", u"PACKPROBE.EXE"}};
#ifdef PACKPROBE_RC_SCAN_EXE
  programs.push_back({PACKPROBE_RC_SCAN_EXE, PACKPROBE_RC_SCAN_DESCRIPTION, u"packprobe-scan.exe"});
#endif
  return programs;
}

std::optional<std::u16string> ApiText(const std::vector<BYTE>& block, const std::u16string& key) {
  const std::wstring query(key.begin(), key.end());
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || value == nullptr) {
    return std::nullopt;
  }
  return std::u16string(static_cast<const char16_t*>(value));
}

TEST(VersionResourceWindowsTest, ShippedProgramsCarryTheProjectVersion) {
  const std::u16string version = u"" PACKPROBE_RC_VERSION;
  const std::u16string version4 = u"" PACKPROBE_RC_VERSION4;
  for (const Program& program : ShippedPrograms()) {
    SCOPED_TRACE(program.path);
    const std::vector<std::pair<std::u16string, std::u16string>> expected = {
        {u"FileVersion", version4},
        {u"ProductVersion", version},
        {u"ProductName", u"PackProbe"},
        {u"FileDescription", program.description},
        {u"OriginalFilename", program.fileName},
        {u"Comments", u"Part of PackProbe, MIT License. Version " + version4},
    };

    const std::string bytes = testsupport::ReadFile(program.path);
    const MemoryInput input({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    std::vector<std::uint8_t> ours;
    ASSERT_EQ(ReadVersionResource(input, &ours), PeVersionResult::kOk);

    const std::wstring path(program.path, program.path + std::strlen(program.path));
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(size, 0u);
    std::vector<BYTE> api(size, 0);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, api.data()));

    for (const auto& [key, text] : expected) {
      EXPECT_EQ(QueryVersionText(ByteReader(ours), kTable + key), text);
      EXPECT_EQ(ApiText(api, kTable + key), text);
    }

    // The fixed part: the file and product version as four 16-bit numbers.
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(api.data(), L"\\", &value, &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, PACKPROBE_RC_VERSION_MS);
    EXPECT_EQ(fixed->dwFileVersionLS, PACKPROBE_RC_VERSION_LS);
    EXPECT_EQ(fixed->dwProductVersionMS, PACKPROBE_RC_VERSION_MS);
    EXPECT_EQ(fixed->dwProductVersionLS, PACKPROBE_RC_VERSION_LS);
  }
}

}  // namespace
}  // namespace packprobe
