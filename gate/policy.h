// What a run makes of warnings: duplicates across the whole release, and
// which warnings fail a component (--strict, --error-on) or are dropped
// (--ignore). One place, so that a scan and a merge of its shards judge
// every record alike.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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
};
inline constexpr std::string_view kDuplicateWarning = "duplicate-component";

// "stub-version-text, stub-comments-tail, ...": every code, for messages.
std::string WarningCodeList();

// The codes of a comma-separated list ("a,b"), each a warning code, each
// once; nothing, with why in error, for an unknown or empty code.
std::optional<std::vector<std::string>> ParseWarningCodes(std::string_view list, std::string& error);

// The steps of the reasons that the judgement gives, not the check: a
// report read back drops them, and its records are judged again.
inline constexpr std::string_view kPolicyStep = "warnings";
inline constexpr std::string_view kManifestStep = "manifest";
// Reason codes that the policy gives to a component it fails.
inline constexpr std::string_view kStrictReason = "strict-warning";
inline constexpr std::string_view kErrorOnReason = "error-on-warning";

// Judges the records of a run in sorted path order: marks a component with
// the display name and versions of an earlier one as a duplicate, marks the
// warnings the policy ignores, then fails a passed or out-of-range
// component whose warnings the policy fails.
class PolicyJudge {
 public:
  explicit PolicyJudge(Policy policy) : policy_(std::move(policy)) {}
  void Judge(ScanRecord& record);

 private:
  Policy policy_;
  // The display name and versions, and the path of the first record that
  // had them. The key itself decides, so that two different components can
  // never count as one.
  std::unordered_map<std::string, std::string> seen_;
};

// Undoes every judgement on a record read back from a report: what remains
// is what its check found. The outcome, exit code, comparisons and verdict
// go back to their defaults, the duplicate warning goes, ignored warnings
// count again, and a reason that the policy or the manifest gave goes.
void ForgetJudgement(ScanRecord& record);

}  // namespace packprobe::gate
