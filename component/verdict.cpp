#include "component/verdict.h"

namespace packprobe {
namespace {

constexpr std::u16string_view kSystemErrorMessage = u"A system error occurred during processing.";

// The ASCII line is the message and its line end.
constexpr bool SameAsLine(std::u16string_view message, std::string_view line) {
  if (line.size() != message.size() + 1 || line.back() != '\n') return false;
  for (std::size_t i = 0; i < message.size(); ++i) {
    if (message[i] != static_cast<char16_t>(line[i])) return false;
  }
  return true;
}
static_assert(SameAsLine(kSystemErrorMessage, kSystemErrorLine));

}  // namespace

std::vector<std::u16string_view> VerdictLines(const Verdict& verdict) {
  if (verdict.notFirmware) return {u"Not a firmware component."};
  if (verdict.notSoftware) return {u"Not a software component."};
  std::vector<std::u16string_view> lines;
  if (verdict.stubFailed) lines.push_back(u"VEKStub failed the version comparison.");
  if (verdict.setupFailed) lines.push_back(u"VEKSetup failed the version comparison.");
  if (verdict.exitCode == kExitPassed) {
    lines.push_back(u"The component passed the validation check.");
  }
  return lines;
}

std::u16string_view StatusMessage(int status) {
  switch (status) {
    case kStatusMissing:
      return u"The component specified does not exist.";
    case kStatusInvalid:
      return u"A valid component was not passed.";
    default:
      return kSystemErrorMessage;
  }
}

Verdict JudgeComponent(const VerdictFacts& info, const CheckCriteria& criteria) {
  Verdict verdict;
  if (!info.inspected) verdict.exitCode = info.status;
  if (criteria.firmwareOnly && !info.isFirmware) {
    verdict.notFirmware = true;
    return verdict;
  }
  if (criteria.softwareOnly && !info.isSoftware) {
    verdict.notSoftware = true;
    return verdict;
  }
  if (info.stubVersion < criteria.stubMin || info.stubVersion > criteria.stubMax) {
    verdict.stubFailed = true;
    // Replaces a status code: the comparison's verdict comes first.
    verdict.exitCode = kExitStubOutOfRange;
  }
  if (info.setupVersion != kNoVersion &&
      (info.setupVersion < criteria.setupMin || info.setupVersion > criteria.setupMax)) {
    verdict.setupFailed = true;
    verdict.exitCode += kExitSetupOutOfRange;
  }
  return verdict;
}

Verdict JudgeComponent(const ComponentInfo& info, const CheckCriteria& criteria) {
  return JudgeComponent(VerdictFacts{info.inspected, info.status, info.isFirmware, info.isSoftware,
                                     info.stubVersion, info.setupVersion},
                        criteria);
}

}  // namespace packprobe
