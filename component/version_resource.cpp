#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "component/component_info.h"
#include "component/version_number.h"
#include "pe/version_info.h"

namespace packprobe {
namespace {

// Both versions come from the U.S.-English UTF-16 string table only.
constexpr std::u16string_view kCommentsQuery = u"\\StringFileInfo\\040904B0\\Comments";
constexpr std::u16string_view kFileVersionQuery = u"\\StringFileInfo\\040904B0\\FileVersion";

// The text under queryPath in the version information of the file at path;
// nothing when the file has no version information or no such value. The
// block lives only for this call.
std::optional<std::u16string> ReadVersionText(const std::u16string& path,
                                              std::u16string_view queryPath) {
  const std::uint32_t size = platform::GetVersionInfoSize(path);
  if (size == 0) return std::nullopt;
  const std::optional<platform::VersionInfoBlock> block =
      platform::VersionInfoBlock::Read(path, size);
  if (!block) return std::nullopt;
  return block->QueryText(queryPath);
}

}  // namespace

bool ComponentInfo::ReadStubVersion() {
  if (componentPath == nullptr) return false;
  const std::optional<std::u16string> comments = ReadVersionText(*componentPath, kCommentsQuery);
  if (!comments) return false;
  stubVersionText = *comments;
  // The version is the text's tail: "VEKStub 3.0.3.0" reads as "3.0.3.0".
  // A text shorter than the window is taken whole.
  const std::u16string_view text = *comments;
  const std::u16string digits =
      DropDots(text.substr(text.size() - std::min(text.size(), kMaxVersionDigits)));
  if (digits.empty()) return false;
  stubVersion = ReadDecimal(digits);
  return stubVersion != 0;
}

void ComponentInfo::ReadSetupVersion(const std::u16string& setupPath) {
  const std::optional<std::u16string> fileVersion = ReadVersionText(setupPath, kFileVersionQuery);
  if (!fileVersion) return;
  setupVersionText = *fileVersion;
  // A longer text ("10.0.19041.1") keeps its first seven characters.
  const std::u16string digits =
      DropDots(std::u16string_view(*fileVersion).substr(0, kMaxVersionDigits));
  if (digits.empty()) return;
  const VersionNumber value = ReadDecimal(digits);
  // -1 says that the component holds no setup program, which would exempt
  // it from the setup range; a setup program whose version reads as -1 is
  // one whose version cannot be read, and keeps the 0 of that case.
  if (value == kNoVersion) return;
  setupVersion = value;
}

}  // namespace packprobe
