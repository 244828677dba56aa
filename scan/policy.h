// What a scan makes of warnings: duplicates across the whole release, and
// which warnings fail a component (--strict, --error-on) or are dropped
// (--ignore). One place, so that a scan and a merge of its shards judge
// every record alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "scan/scan_record.h"

namespace packprobe::scan {

// Every warning code a record can carry.
const std::vector<std::string_view>& WarningCodes();

// The codes of a comma-separated list ("a,b"), each checked against
// WarningCodes; on an unknown or empty code, nothing, with why in error.
std::optional<std::vector<std::string>> ParseWarningCodes(std::string_view list, std::string& error);

struct Policy {
  bool strict = false;                // every warning fails the component
  std::vector<std::string> errorOn;   // these warnings fail the component
  std::vector<std::string> ignore;    // these warnings are dropped
};

// Reason codes that a policy gives to a component it fails.
inline constexpr std::string_view kStrictReason = "strict-warning";
inline constexpr std::string_view kErrorOnReason = "error-on-warning";

// Judges the records of a scan in sorted path order: marks a component with
// the display name and versions of an earlier one as a duplicate, then
// applies the policy.
class RecordJudge {
 public:
  explicit RecordJudge(Policy policy) : policy_(std::move(policy)) {}
  void Judge(ScanRecord& record);

 private:
  Policy policy_;
  // The display name and versions, and the path of the first record that
  // had them. The key itself decides, so that two different components can
  // never count as one.
  std::unordered_map<std::string, std::string> seen_;
};

// Undoes what RecordJudge did to a record, as far as a report shows it:
// the duplicate warning goes and an outcome the policy set returns to what
// the comparisons gave. A merge then judges the records of all shards anew.
void UnjudgeRecord(ScanRecord& record);

}  // namespace packprobe::scan
