// The release manifest: what a known-good release holds, component by
// component, and the check of a scan's records against it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/scan_options.h"
#include "scan/scan_record.h"

namespace packprobe::scan {

inline constexpr const char* kManifestSchema = "packprobe-manifest/1";

struct ManifestVersion {
  std::optional<std::string> text;  // the version string read; none: none was
  std::int32_t version = 0;         // the number compared
  std::string display;              // as PACKPROBE shows it
  bool operator==(const ManifestVersion&) const = default;
};

// One component of a release. Also what diff compares; there a component
// that could not be inspected carries its reason code in failure and no
// versions.
struct ManifestEntry {
  std::string path;  // relative to the folder named, "/" between parts
  std::string name;
  std::optional<std::string> category;
  std::optional<std::string> type;
  std::optional<ManifestVersion> stub;   // none only for a failure (diff)
  std::optional<ManifestVersion> setup;  // none: no setup program
  std::optional<std::uint64_t> size;
  std::optional<std::string> sha256;     // none only in reports made without --hash
  std::optional<std::string> failure;    // diff only: why it could not be inspected
};

// The entry of an inspected component's record (sha256 as the record has it).
ManifestEntry EntryOfRecord(const ScanRecord& record);

// The whole manifest text: one header line, one line per entry in the given
// order, one closing line; keys always in the same order.
std::string ManifestText(const std::vector<ManifestEntry>& entries);

// One entry as a JSON object text, keys in manifest order.
std::string EntryJson(const ManifestEntry& entry);

struct ManifestRead {
  std::vector<ManifestEntry> entries;  // sorted by path
  std::string error;                   // empty when the text was a whole manifest
};

// Reads a manifest's text, checking every field's type and that no path
// appears twice.
ManifestRead ParseManifest(std::string_view text);

// Reads the manifest file named (UTF-8); nothing with error set when it
// cannot be read or is no whole manifest.
std::optional<std::vector<ManifestEntry>> LoadManifest(const std::string& path, std::string& error);

// Reads a whole file of at most limit bytes; nothing when it cannot be read
// or is larger (error says which).
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path, std::uint64_t limit,
                                         std::string& error);

// Writes text to path through a temporary file beside it that is renamed
// over it at the end (a device such as /dev/null is written in place): the
// named file is whole or untouched. False with error set when it could not
// be written; no temporary file is left.
bool WriteFileWhole(const std::filesystem::path& path, std::string_view text, std::string& error);

// The check of a scan's records against a manifest.
class ManifestCheck {
 public:
  explicit ManifestCheck(std::vector<ManifestEntry> entries);

  // Judges one record against the entry of its relative path: a component
  // that was inspected and differs from its entry, or has none, gets the
  // manifest outcome and its reason; failures of the check itself and
  // filtered components keep their outcome. Either way the entry counts as
  // found. Unless rangesApply (a range was given on the command line), the
  // manifest replaces the ranges: an out-of-range outcome under the default
  // ranges is judged by the entry alone.
  void Judge(ScanRecord& record, bool rangesApply);

  // The records of the entries no record was judged against, in path order:
  // each path is the first folder named joined with the entry's path (the
  // entry's path alone when no folder was named). With a shard, only the
  // entries whose path falls in it.
  std::vector<ScanRecord> AbsentRecords(const std::string& folder,
                                        const std::optional<Shard>& shard) const;

 private:
  struct Slot {
    ManifestEntry entry;
    bool found = false;
  };
  std::map<std::string, Slot, std::less<>> slots_;
};

// The first of paths that is a folder, as the records show it; empty when
// none is.
std::string FirstFolder(const std::vector<std::filesystem::path>& paths);

// True when the criteria's ranges are not the defaults.
bool RangesGiven(const CheckCriteria& criteria);

// packprobe-scan snapshot PATH... [-o FILE] [-j N]: writes the manifest of
// the components found. Returns the exit code.
int RunSnapshotProgram(const std::vector<std::string>& arguments, unsigned defaultJobs);

// "3.0.3.0 (3030)", the way reasons name a version.
std::string DescribeVersion(const std::optional<ManifestVersion>& version);

}  // namespace packprobe::scan
