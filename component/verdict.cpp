#include "component/verdict.h"

namespace packprobe {

Verdict JudgeComponent(const ComponentInfo& info, const CheckCriteria& criteria) {
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
    verdict.exitCode = 1;  // replaces a status code: the comparison's verdict comes first
  }
  if (info.setupVersion != kNoVersion &&
      (info.setupVersion < criteria.setupMin || info.setupVersion > criteria.setupMax)) {
    verdict.setupFailed = true;
    verdict.exitCode += 2;
  }
  return verdict;
}

}  // namespace packprobe
