// The one judgement of a run: records as their checks found them, plus the
// run's settings (ranges, filters, policy, manifest), in; judged records,
// totals and the exit code out. A scan and a merge of its shards both feed
// it, in path order, so that a merge equals one run by construction.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gate/manifest_check.h"
#include "gate/outcome.h"
#include "gate/policy.h"
#include "gate/record.h"
#include "gate/run_settings.h"

namespace packprobe::gate {

// What a run counts.
struct Totals {
  std::size_t total = 0;
  std::array<std::size_t, kOutcomeCount> counts{};  // by outcome, but the waived failures
  std::size_t warnings = 0;  // that the policy neither ignores nor waives, over all records
  std::size_t waived = 0;    // failures and warnings that a waiver took off the gate

  void Count(const ScanRecord& record);
  std::size_t Of(Outcome outcome) const { return counts[static_cast<std::size_t>(outcome)]; }
  std::size_t OfClass(OutcomeClass kind) const;
  // The components that fail the gate.
  std::size_t Failures() const;
  bool operator==(const Totals&) const = default;
};

// The paths a run found before it was split into shares: how many, and the
// SHA-256 of their shard keys (sorted, each ended by a NUL byte), so that
// the shards of one run can show they searched the same tree.
struct FoundPaths {
  std::size_t count = 0;
  std::string sha256;  // 64 lowercase hex digits
  bool operator==(const FoundPaths&) const = default;
};

// The FoundPaths of a run's shard keys, in any order.
FoundPaths DescribeFoundPaths(std::vector<std::string> keys);

// The outcome, exit code, comparisons and verdict that a record's found
// facts give under the criteria; nothing else of the record changes.
void JudgeFound(ScanRecord& record, const CheckCriteria& criteria);

// The outcome of a failed check, by the status it gave and its reason.
Outcome FailureOutcome(int status, std::string_view code);

// Which versions are outside which ranges ("VEKStub 2.0.0.0 (2000) is
// outside its range 3.0.0.0 to 9.9.9.9 (3000 to 9999)"); empty when none.
std::string RangeDetail(const ScanRecord& record, const CheckCriteria& criteria);

class RunJudge {
 public:
  // manifest: its entries when the run checks against one (they must outlive
  // the judge). excluded: whether an absent entry's path is one the run
  // leaves out (its selection), given the entry's path.
  RunJudge(const RunSettings& settings, const std::vector<ManifestEntry>* manifest,
           std::function<bool(const std::string&)> excluded = {}, JudgeContext context = {});

  // Judges the next record in path order, as its check found it.
  void Judge(ScanRecord& record);

  // After the last record: emits the manifest's entries that no record
  // matched, judged and counted (each path is folder joined with the
  // entry's), then settles the exit code; found is the number of paths the
  // run found before it was split into shares.
  void Finish(std::size_t found, const std::string& folder,
              const std::function<void(ScanRecord&&)>& emit);

  const Totals& totals() const { return totals_; }
  int exitCode() const { return exitCode_; }
  // The run's own warnings (waivers that waived nothing), after Finish.
  const std::vector<Warning>& runWarnings() const { return runWarnings_; }
  std::vector<PolicyJudge::WaiverUse> waiverUses() const { return policy_.Uses(); }

 private:
  void Count(const ScanRecord& record);

  const RunSettings& settings_;
  std::optional<ManifestCheck> manifest_;
  std::function<bool(const std::string&)> excluded_;
  PolicyJudge policy_;
  Totals totals_;
  int exitCode_ = kScanPassed;
  std::vector<Warning> runWarnings_;
};

}  // namespace packprobe::gate
