// The check of a run's records against a release manifest: what a
// known-good release holds, component by component. The manifest's file
// lives in release/; this is its content as values.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gate/record.h"

namespace packprobe::gate {

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
  std::optional<std::string> sha256;   // none only in reports made without --hash
  std::optional<std::string> failure;  // diff only: why it could not be inspected
  // Who signed the component file and its setup program: the SHA-256
  // fingerprint of the signing certificate, empty when unsigned; none when
  // not recorded (a manifest made before signers were, a record whose
  // signatures were not checked, no setup program).
  std::optional<std::string> signer, setupSigner;
  bool operator==(const ManifestEntry&) const = default;
};

// The entry of a record as its check found it (sha256 as the record has
// it); an inspection that failed gives failure and no versions.
ManifestEntry EntryOfRecord(const ScanRecord& record);

// What differs between the signers of two entries, where both recorded
// them ("the component file is signed by 9f86..., was unsigned", with other
// "was"); empty when nothing does.
std::string SignerChange(const ManifestEntry& before, const ManifestEntry& now, const std::string& other);

// "3.0.3.0 (3030)", the way reasons name a version; "none".
std::string DescribeVersion(const std::optional<ManifestVersion>& version);

// The check of a run's records against a manifest.
class ManifestCheck {
 public:
  explicit ManifestCheck(const std::vector<ManifestEntry>& entries);

  // Judges one record against the entry of its relative path: a component
  // that was inspected and differs from its entry, or has none, gets the
  // manifest outcome and its reason; failures of the check itself and
  // filtered components keep their outcome. Either way the entry counts as
  // found. Unless rangesApply (a range was given), the manifest replaces the
  // ranges: an out-of-range outcome under the default ranges is judged by
  // the entry alone.
  void Judge(ScanRecord& record, bool rangesApply);

  // The records of the entries no record was judged against, in path order,
  // each passed to emit: each path is folder joined with the entry's path
  // (the entry's path alone when folder is empty). Only the entries for
  // which wanted (given the entry's path) is true.
  void EmitAbsent(const std::string& folder, const std::function<bool(const std::string&)>& wanted,
                  const std::function<void(ScanRecord&&)>& emit) const;

 private:
  struct Slot {
    const ManifestEntry* entry;
    bool found = false;
  };
  std::map<std::string, Slot, std::less<>> slots_;
};

}  // namespace packprobe::gate
