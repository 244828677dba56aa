#include "gate/outcome.h"

namespace packprobe::gate {

std::optional<Outcome> OutcomeFromName(std::string_view name) {
  for (const OutcomeRow& row : kOutcomes) {
    if (row.name == name) return row.outcome;
  }
  return std::nullopt;
}

int WorseExitCode(int a, int b) {
  const auto rank = [](int code) {
    switch (code) {
      case kScanPassed: return 0;
      case kScanOutOfRange: return 1;
      case kScanDiffers: return 2;
      case kScanFailed: return 3;
      default: return 4 + code;  // codes of the whole run outrank the records'
    }
  };
  return rank(a) >= rank(b) ? a : b;
}

}  // namespace packprobe::gate
