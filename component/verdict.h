// The verdict on one inspected component: the type filter, the two range
// comparisons and the exit code that they give (pure computation), and the
// sentences that both programs print for it.
#pragma once

#include <string_view>
#include <vector>

#include "component/component_info.h"
#include "component/version_number.h"

namespace packprobe {

// The ranges (both bounds inclusive) and the type filter of a check.
struct CheckCriteria {
  VersionNumber stubMin = 0;
  VersionNumber stubMax = 9999;
  VersionNumber setupMin = 0;
  VersionNumber setupMax = 9999;
  bool firmwareOnly = false;
  bool softwareOnly = false;
  bool operator==(const CheckCriteria&) const = default;
};

struct Verdict {
  bool notFirmware = false;  // the firmware filter rejected the component
  bool notSoftware = false;  // the software filter rejected the component
  bool stubFailed = false;   // the VEKStub version is out of its range
  bool setupFailed = false;  // the component holds a setup program whose version is out of range
  // The status of a failed inspection (or 0); after the comparisons,
  // replaced by 1 when the VEKStub version failed, plus 2 when the VEKSetup
  // version failed. A filter leaves it as it is.
  int exitCode = 0;

  bool filtered() const { return notFirmware || notSoftware; }
  // The comparisons ran (no filter applied).
  bool compared() const { return !filtered(); }
};

// What the verdict reads of an inspected component's record.
struct VerdictFacts {
  bool inspected = false;
  int status = 0;  // of a failed inspection
  bool isFirmware = false;
  bool isSoftware = false;
  VersionNumber stubVersion = 0;
  VersionNumber setupVersion = kNoVersion;
};

// The verdict on a component under criteria. The filters and comparisons
// also apply after a failed inspection, to the values it left in the record.
Verdict JudgeComponent(const VerdictFacts& facts, const CheckCriteria& criteria);
Verdict JudgeComponent(const ComponentInfo& info, const CheckCriteria& criteria);

// PACKPROBE's verdict lines for verdict, in the order they are printed:
// the filter's, or the failed comparisons', or the pass; none for a failed
// inspection that fails no comparison.
std::vector<std::u16string_view> VerdictLines(const Verdict& verdict);

// The message of a status of a failed inspection (4, 5 or 6; any other is
// taken as 6).
std::u16string_view StatusMessage(int status);

// The system error's message as ASCII with its line end, for the entry
// points that print it when no memory is left to convert text.
inline constexpr std::string_view kSystemErrorLine = "A system error occurred during processing.\n";

}  // namespace packprobe
