// The record of one inspected component file.
//
// Constructing a ComponentInfo runs the whole inspection: the existence test,
// extraction of the metadata file and "veksetup.exe" from the archive at the
// end of the component file into a private work directory, both version
// reads, the display name and the firmware-or-software class, and the
// removal of the work directory. A constructed record is always complete;
// its outcome is in the fields.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/exit_codes.h"
#include "component/inspection_fault.h"
#include "component/version_number.h"
#include "platform/host_fault.h"

namespace packprobe {

class ComponentInfo {
 public:
  // Status codes of a failed inspection (component/exit_codes.h).
  static constexpr int kStatusMissing = packprobe::kStatusMissing;
  static constexpr int kStatusInvalid = packprobe::kStatusInvalid;
  static constexpr int kStatusSystemError = packprobe::kStatusSystemError;

  // Inspects the file at path (null: no component given). The record keeps
  // referring to *path, which must outlive it.
  explicit ComponentInfo(const std::u16string* path);
  ComponentInfo(const ComponentInfo&) = delete;
  ComponentInfo& operator=(const ComponentInfo&) = delete;

  std::u16string displayName;    // English display name from the metadata; empty until read
  std::u16string componentFile;  // file-name stem of the path followed by ".exe"
  std::u16string message;        // text of the last failure recorded
  VersionNumber stubVersion = 0;
  VersionNumber setupVersion = 0;  // -1: the component holds no "veksetup.exe"
  int status = 0;                  // 0, or one of the kStatus codes
  bool isFirmware = false;
  bool isSoftware = false;
  bool inspected = false;  // the inspection ran to its end with status 0
  const std::u16string* componentPath = nullptr;  // borrowed
  // Every failure recorded, in order, with where and why. The status and
  // message above stay the verdict's contract.
  std::vector<InspectionFault> faults;

  // The largest metadata file that is read. No real one comes near it; a
  // larger one is refused as unreadable (status 6) without being extracted.
  static constexpr std::uint32_t kMaxMetadataSize = 16u << 20;

  // What the inspection read, for reports beyond the information block.
  // None of it takes part in the verdict.
  std::optional<std::u16string> stubVersionText;   // the whole "Comments" string
  std::optional<std::u16string> setupVersionText;  // the setup program's whole "FileVersion" string
  std::optional<std::u16string> category;          // the English category text
  // Whether the archive holds "veksetup.exe" (true also when it cannot be
  // extracted); nothing when the inspection stopped before it could tell.
  std::optional<bool> holdsSetup;

  // Reads the VEKStub version from the "Comments" string of the component
  // file's version resource into stubVersion. True when the stored number is
  // not 0; otherwise records status 5 (status 6 when the host failed).
  bool ReadStubVersion();

  // Reads the VEKSetup version from the "FileVersion" string of the setup
  // program at setupPath into setupVersion; leaves it at 0 when there is none
  // (a fault without status), and records status 6 when the host failed.
  void ReadSetupVersion(const std::u16string& setupPath);

  // Reads the English display name from the metadata file into displayName.
  // True when one was found. Records status 6 when the file cannot be read.
  bool ReadDisplayName(const std::u16string& metadataPath);

  // True when the first word of the English category text is "BIOS" or
  // "Firmware". Records status 6 when the file cannot be read.
  bool IsFirmwareCategory(const std::u16string& metadataPath);

 private:
  enum class Extraction {
    kDone,
    kAbsent,    // the archive opened and holds no such entry (no fault recorded)
    kTooLarge,  // the entry declares more than the caller's limit; not extracted
    kFailed,    // a fault was recorded
  };

  // The whole inspection sequence; true when it ended with status 0.
  bool Inspect();

  // Extracts the archive entry entryName of the component file to
  // outputPath, unless it declares more than maxSize bytes. Every failure
  // but an absent entry is recorded as a fault of step (kExtractMetadata or
  // kExtractSetup) with status 5, or 6 when the host failed.
  Extraction ExtractEntry(std::u16string_view entryName, const std::u16string& outputPath,
                          InspectionStep step, std::uint32_t maxSize);

  // The file exists: is it a regular file that can be read? Records the
  // fault when not.
  bool CheckComponentFile();

  // The text of the English `item` element below `group` in the package
  // element, or nothing. Records status 6 when the metadata cannot be read.
  std::optional<std::u16string> FindEnglishText(const std::u16string& metadataPath,
                                                const char16_t* group, const char16_t* item);

  // Records a failure: the status code and its message.
  void SetStatus(int code);

  // Records a fault and, unless its status is 0, the status and message.
  void RecordFault(InspectionStep step, int status, std::string code, std::u16string subject,
                   int layerResult, std::string detail);

  // Records a fault of the host (status 6), with what failed and the
  // host's fault that the failing layer reported (kNone counts as kOther).
  void RecordHostFault(InspectionStep step, std::u16string subject, int layerResult,
                       const std::string& what, platform::HostFault fault);

  // The metadata entry declared more than kMaxMetadataSize and was not
  // extracted; both metadata queries find it unreadable.
  bool metadataTooLarge_ = false;
};

}  // namespace packprobe
