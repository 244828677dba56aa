#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "component/component_info.h"
#include "component/version_number.h"
#include "pe/pe_version_resource.h"
#include "pe/version_file.h"
#include "pe/version_info.h"
#include "platform/file.h"
#include "util/byte_reader.h"

namespace packprobe {
namespace {

// Both versions come from the U.S.-English UTF-16 string table only.
constexpr std::u16string_view kCommentsQuery = u"\\StringFileInfo\\040904B0\\Comments";
constexpr std::u16string_view kFileVersionQuery = u"\\StringFileInfo\\040904B0\\FileVersion";

// The text under queryPath in the version information of the file at path;
// nothing when the file has no version information or no such value (*fault
// says which: kNone for a missing value). The block lives only for this call.
std::optional<std::u16string> ReadVersionText(const std::u16string& path,
                                              std::u16string_view queryPath,
                                              platform::VersionInfoFailure* fault) {
  *fault = {};
  const std::uint32_t size = platform::GetVersionInfoSize(path, fault);
  if (size == 0) return std::nullopt;
  const std::optional<platform::VersionInfoBlock> block =
      platform::VersionInfoBlock::Read(path, size, fault);
  if (!block) return std::nullopt;
  return block->QueryText(queryPath);
}

// The machine code and sentence of a version read that failed, with the
// code's prefix ("stub" or "setup").
std::pair<std::string, std::string> DescribeVersionFault(platform::VersionInfoFault fault,
                                                         const std::string& prefix,
                                                         const std::string& file,
                                                         const std::string& value) {
  switch (fault) {
    case platform::VersionInfoFault::kNotAFile:
      return {prefix + "-not-readable", file + " cannot be opened as a regular file"};
    case platform::VersionInfoFault::kNoVersionResource:
      return {prefix + "-no-version-resource", file + " has no version resource"};
    case platform::VersionInfoFault::kMalformed:
      return {prefix + "-malformed", file + " is not a well-formed program file"};
    default:
      return {prefix + "-no-" + value,
              file + " has no U.S.-English " + value + " string in its version resource"};
  }
}

}  // namespace

bool ComponentInfo::ReadStubVersion() {
  if (componentPath == nullptr) return false;
  platform::VersionInfoFailure fault;
  const std::optional<std::u16string> comments =
      ReadVersionText(*componentPath, kCommentsQuery, &fault);
  return TakeStubVersion(comments, fault);
}

bool ComponentInfo::ReadStubVersionFrom(platform::File& file) {
  // The same reader that serves the path, over the open file, so that the
  // stub comes from the file the archive was read from.
  platform::VersionInfoFailure fault;
  std::vector<std::uint8_t> data;
  std::optional<std::u16string> comments;
  if (platform::ReadOpenFileVersionData(file, &data, &fault)) {
    comments = QueryVersionText(ByteReader(data), kCommentsQuery);
  }
  return TakeStubVersion(comments, fault);
}

bool ComponentInfo::TakeStubVersion(const std::optional<std::u16string>& comments,
                                    const platform::VersionInfoFailure& fault) {
  if (!comments) {
    if (fault.fault == platform::VersionInfoFault::kHost) {
      RecordHostFault(InspectionStep::kReadStubVersion, u"", 0,
                      "the component's version resource cannot be read", fault.host);
    } else {
      auto [code, detail] =
          DescribeVersionFault(fault.fault, "stub", "the component", "comments");
      RecordFault(InspectionStep::kReadStubVersion, kStatusInvalid, std::move(code), u"", 0,
                  std::move(detail));
    }
    return false;
  }
  stubVersionText = *comments;
  // The version is the text's tail: "VEKStub 3.0.3.0" reads as "3.0.3.0".
  // A text shorter than the window is taken whole.
  const std::u16string_view text = *comments;
  const std::u16string digits =
      DropDots(text.substr(text.size() - std::min(text.size(), kMaxVersionDigits)));
  if (!digits.empty()) stubVersion = ReadDecimal(digits);
  if (digits.empty() || stubVersion == 0) {
    RecordFault(InspectionStep::kReadStubVersion, kStatusInvalid, "stub-version-zero", u"", 0,
                "the component's Comments string holds no version other than 0");
    return false;
  }
  return true;
}

void ComponentInfo::ReadSetupVersion(const std::u16string& setupPath) {
  platform::VersionInfoFailure fault;
  const std::optional<std::u16string> fileVersion =
      ReadVersionText(setupPath, kFileVersionQuery, &fault);
  TakeSetupVersion(fileVersion, fault);
}

void ComponentInfo::TakeCapturedSetupVersion(const SetupCapture& capture) {
  // The captured ranges give what the portable reader gives for the
  // extracted file: the same result of the walk, the same version data.
  platform::VersionInfoFailure fault;
  std::optional<std::u16string> fileVersion;
  if (platform::TranslateVersionResult(capture.version, &fault)) {
    fileVersion = QueryVersionText(ByteReader(capture.versionData), kFileVersionQuery);
  }
  TakeSetupVersion(fileVersion, fault);
}

void ComponentInfo::TakeSetupVersion(const std::optional<std::u16string>& fileVersion,
                                     const platform::VersionInfoFailure& fault) {
  if (!fileVersion) {
    // The setup program's version is optional: only the host's failure is
    // an error, lest a version left at 0 pass a range that it should fail.
    if (fault.fault == platform::VersionInfoFault::kHost) {
      RecordHostFault(InspectionStep::kReadSetupVersion, std::u16string(u"veksetup.exe"), 0,
                      "the setup program's version resource cannot be read", fault.host);
    } else {
      auto [code, detail] =
          DescribeVersionFault(fault.fault, "setup", "veksetup.exe", "fileversion");
      RecordFault(InspectionStep::kReadSetupVersion, 0, std::move(code), u"veksetup.exe", 0,
                  std::move(detail));
    }
    return;
  }
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
