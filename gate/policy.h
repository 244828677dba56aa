// What a run makes of warnings: duplicates across the whole release, and
// which warnings fail a component (--strict, --error-on) or are dropped
// (--ignore). One place, so that a scan and a merge of its shards judge
// every record alike.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <cstdint>
#include <memory>
#include <vector>

#include "gate/record.h"
#include "gate/run_settings.h"

namespace packprobe::gate {

// Every warning a record can carry, with what it means.
struct WarningRow {
  std::string_view code;
  std::string_view meaning;
};
inline constexpr WarningRow kWarnings[] = {
    {"stub-version-text", "the VEKStub version text is not four one-digit parts"},
    {"stub-comments-tail", "the Comments string does not end in a version"},
    {"setup-version-text", "the VEKSetup FileVersion is not four one-digit parts"},
    {"setup-no-file-version", "veksetup.exe has no FileVersion string"},
    {"duplicate-component", "another component has the same display name and versions"},
    {"waiver-expired", "a waiver that would apply ended; it waives nothing"},
    {"stub-signature-invalid", "the component file carries a signature that does not hold"},
    {"setup-signature-invalid", "veksetup.exe carries a signature that does not hold"},
};
inline constexpr std::string_view kDuplicateWarning = "duplicate-component";
// The judgement's own warnings about waivers: one that expired (on the
// components it would waive), one that waived nothing (of the run).
inline constexpr std::string_view kWaiverExpired = "waiver-expired";
inline constexpr std::string_view kWaiverUnused = "waiver-unused";

// "stub-version-text, stub-comments-tail, ...": every code, for messages.
std::string WarningCodeList();

// The codes of a comma-separated list ("a,b"), each a warning code, each
// once; nothing, with why in error, for an unknown or empty code.
std::optional<std::vector<std::string>> ParseWarningCodes(std::string_view list, std::string& error);

// The steps of the reasons that the judgement gives, not the check: a
// report read back drops them, and its records are judged again.
inline constexpr std::string_view kPolicyStep = "warnings";
inline constexpr std::string_view kManifestStep = "manifest";
inline constexpr std::string_view kSigningStep = "signatures";
// Reason codes that the policy gives to a component it fails.
inline constexpr std::string_view kStrictReason = "strict-warning";
inline constexpr std::string_view kErrorOnReason = "error-on-warning";

// The first path of each display name and versions, for the duplicate
// test over a whole release: 96 bits of the key's SHA-256 in an open
// addressing table, and the paths in an arena of large chunks, so that
// memory stays near the paths' own size however many components a merge
// joins.
class FirstPaths {
 public:
  // The path first remembered for key, remembering path when it is the
  // first; nothing then.
  std::optional<std::string> FirstOr(std::string_view key, std::string_view path);

 private:
  struct Slot {
    std::uint64_t high = 0;
    std::uint32_t low = 0;
    std::uint32_t at = 0;  // the path's place in the arena, plus one; 0: empty
  };
  static constexpr std::size_t kChunk = std::size_t{1} << 20;
  void Grow();
  std::uint32_t Keep(std::string_view path);
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  // Each path ended by NUL, which no path holds; a place is the chunk's
  // number times kChunk plus the offset in it.
  std::vector<std::unique_ptr<char[]>> chunks_;
  std::size_t filled_ = kChunk;  // in the last chunk
};

// What the judgement knows of where and when it runs: waivers name paths
// relative to the configuration file's folder, and end on a day.
struct JudgeContext {
  std::string today;          // "YYYY-MM-DD"
  std::string currentFolder;  // absolute, "/" between parts: what relative paths are relative to
};

// Judges the records of a run in sorted path order: marks a component with
// the display name and versions of an earlier one as a duplicate, warns of
// signatures that do not hold, fails a component whose signatures the
// signing policy refuses (unsigned or invalid where one is required, or by
// a signer none of the pinned), marks the
// warnings the policy ignores and those a waiver waives, fails a passed or
// out-of-range component whose other warnings the policy fails, then lets a
// waiver take a failure off the gate. A waiver that ended waives nothing
// and warns where it would have.
class PolicyJudge {
 public:
  PolicyJudge(Policy policy, JudgeContext context, SigningPolicy signing = {})
      : policy_(std::move(policy)), signing_(std::move(signing)), context_(std::move(context)) {}
  void Judge(ScanRecord& record);

  // The run's own warnings, after the last record: each waiver that waived
  // nothing and matched no component.
  std::vector<Warning> RunWarnings() const;

  // What each waiver did, in the policy's order: how many failures and
  // warnings it waived, and how many it would have after it ended.
  struct WaiverUse {
    std::size_t waived = 0;
    std::size_t ended = 0;
  };
  std::vector<WaiverUse> Uses() const;

 private:
  // The waiver that applies to code at the record's path, or null; an
  // ended one is reported on the record once.
  const Waiver* Waiving(ScanRecord& record, std::string_view code);

  Policy policy_;
  SigningPolicy signing_;
  JudgeContext context_;
  // The display name and versions, and the path of the first record that
  // had them.
  FirstPaths seen_;
  std::vector<WaiverUse> uses_;  // by waiver
};

// "legacy/old.exe stub-out-of-range (until 2027-06-30)": how messages name
// a waiver.
std::string DescribeWaiver(const Waiver& waiver);

// Undoes every judgement on a record read back from a report: what remains
// is what its check found. The outcome, exit code, comparisons and verdict
// go back to their defaults, the duplicate warning goes, ignored warnings
// count again, and a reason that the policy or the manifest gave goes.
void ForgetJudgement(ScanRecord& record);

}  // namespace packprobe::gate
