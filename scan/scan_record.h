// The result of checking one component in a scan, as the reports show it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/component_info.h"
#include "component/verdict.h"
#include "scan/exit_codes.h"

namespace packprobe::scan {

// What became of a component, worst last. The exit code of a scan follows
// the worst outcome (see ScanExitCode).
enum class Outcome {
  kPassed,
  kFiltered,          // rejected by --firmware-only or --software-only; not compared
  kStubOutOfRange,
  kSetupOutOfRange,
  kBothOutOfRange,
  // Against a release manifest (--manifest): the component differs from its
  // entry, or has none, or an entry has no component.
  kVersionChanged,   // a version is older or newer than the entry's
  kContentChanged,   // same versions and metadata, other bytes
  kMetadataChanged,  // display name, category or type differ
  kUnexpected,       // no entry in the manifest
  kAbsent,           // an entry of the manifest with no component
  kMissing,           // status 4: nothing at the path
  kInvalid,           // status 5, or a warning under --strict
  kSystemError,       // status 6, or the check itself could not run
};

// "passed", "filtered", "stub-out-of-range", ...
std::string_view OutcomeName(Outcome outcome);

// The worse of two exit codes of records: a failed component (2) outranks a
// release that differs from its manifest (4), which outranks a version out
// of range (1), which outranks a pass (0).
int WorseScanExitCode(int a, int b);

// The number of outcomes, for counts kept per outcome.
inline constexpr std::size_t kOutcomeCount = 13;

// The scan exit code that one outcome calls for.
int ScanExitCode(Outcome outcome);

struct VersionReport {
  std::optional<std::string> text;   // the raw version string read, when one was
  std::optional<std::int32_t> version;  // the number compared; none: no setup program
  std::optional<std::string> display;   // as PACKPROBE shows it ("3.0.3.0", "3.0.")
  std::optional<bool> inRange;          // none when no comparison ran
};

struct Reason {
  std::string code;     // stable machine code ("zip-crc-mismatch", "component-missing", ...)
  std::string step;     // the inspection step ("open-archive", "load-metadata", ...)
  std::string detail;   // one English sentence
  std::string subject;  // the entry or file concerned; may be empty
  int layerResult = 0;  // the failing layer's own result code; 0 when none
};

struct Warning {
  std::string code;
  std::string detail;
};

struct ScanRecord {
  std::string path;  // as named or found, UTF-8
  std::string file;  // the component file name ("kit.exe"), empty when not inspected
  // The path relative to the folder named, with "/" between its parts, or
  // the file name for a file named directly: the key of a manifest entry.
  std::string relativePath;
  Outcome outcome = Outcome::kSystemError;
  int exitCode = 0;  // what PACKPROBE returns for the same file and ranges
  int status = 0;    // the inspection's status: 0, 4, 5 or 6
  VersionReport stub;
  VersionReport setup;
  std::optional<bool> setupPresent;  // none: the inspection stopped before it could tell
  std::string name;                  // English display name
  std::optional<std::string> category;
  std::optional<std::string> type;  // "firmware", "software", or none
  std::optional<std::uint64_t> size;  // the file's size; none when it could not be read
  std::optional<std::string> sha256;  // 64 lowercase hex digits; only with hashing on
  std::optional<Reason> reason;     // for missing, invalid, system-error and manifest outcomes
  std::vector<Warning> warnings;
  double elapsedMs = 0;

  // For the duplicate test: the component was inspected successfully.
  bool inspected = false;
  std::string verdictMessage;  // PACKPROBE's verdict line for this outcome
  // For a version out of its range: which, and the range ("VEKStub 2.0.0.0
  // (2000) is outside its range 3.0.0.0 to 9.9.9.9 (3000 to 9999)"); empty
  // otherwise.
  std::string rangeDetail;
};

// The record of an inspected component under the criteria. Warnings about
// the component itself are included; duplicates are the scan's business.
ScanRecord MakeRecord(std::string path, const ComponentInfo& info, const CheckCriteria& criteria);

// Which versions are outside which ranges, from the record's comparisons
// ("VEKStub 2.0.0.0 (2000) is outside its range ..."); empty when none
// failed. Kept in the record as rangeDetail; a merge of reports makes it
// again.
std::string RangeDetail(const ScanRecord& record, const CheckCriteria& criteria);

// The record of a component whose check could not run at all.
ScanRecord MakeSystemErrorRecord(std::string path, std::string code, std::string detail);

// The record of an entry that the search could not hand to the check (a
// folder that cannot be listed, a link back to a folder being searched),
// with the outcome and the status (also its exit code) that it gets.
ScanRecord MakeSearchRecord(std::string path, Outcome outcome, int status, std::string code,
                            std::string detail);


// "VEKStub 3.0.3.0" style checks: a version text of four one-digit parts.
bool IsPlainVersionText(std::u16string_view text);

}  // namespace packprobe::scan
