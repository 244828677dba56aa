#include "scan/policy.h"

#include <algorithm>

#include "scan/shown_text.h"
#include "scan/targets.h"

namespace packprobe::scan {
namespace {

constexpr std::string_view kDuplicate = "duplicate-component";

bool Contains(const std::vector<std::string>& codes, std::string_view code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// The outcome that the comparisons alone give an inspected component.
Outcome ComparedOutcome(const ScanRecord& record) {
  const bool stubFailed = record.stub.inRange == false;
  const bool setupFailed = record.setup.inRange == false;
  if (stubFailed && setupFailed) return Outcome::kBothOutOfRange;
  if (stubFailed) return Outcome::kStubOutOfRange;
  if (setupFailed) return Outcome::kSetupOutOfRange;
  return Outcome::kPassed;
}

}  // namespace

const std::vector<std::string_view>& WarningCodes() {
  static const std::vector<std::string_view> codes = {
      "stub-version-text", "stub-comments-tail", "setup-version-text", "setup-no-file-version",
      kDuplicate};
  return codes;
}

std::optional<std::vector<std::string>> ParseWarningCodes(std::string_view list, std::string& error) {
  std::vector<std::string> codes;
  while (true) {
    const std::size_t comma = list.find(',');
    const std::string_view code = list.substr(0, comma);
    const auto& known = WarningCodes();
    if (std::find(known.begin(), known.end(), code) == known.end()) {
      // Built in a reserved buffer: GCC 12 warns (-Wrestrict, wrongly) about
      // the same text built with operator+ or appended to a short string.
      std::string message;
      message.reserve(code.size() + 200);
      message.push_back('"');
      message.append(code.data(), code.size());
      message.append("\" is no warning code; the codes are:");
      for (const std::string_view name : known) {
        message.push_back(' ');
        message.append(name.data(), name.size());
      }
      error = std::move(message);
      return std::nullopt;
    }
    if (!Contains(codes, code)) codes.emplace_back(code);
    if (comma == list.npos) break;
    list.remove_prefix(comma + 1);
  }
  return codes;
}

void RecordJudge::Judge(ScanRecord& record) {
  if (record.inspected && !record.name.empty() && record.outcome != Outcome::kFiltered) {
    const std::string key = record.name + '\x1F' + std::to_string(record.stub.version.value_or(0)) +
                            '\x1F' + std::to_string(record.setup.version.value_or(-1));
    const auto [first, inserted] = seen_.try_emplace(key, record.path);
    if (!inserted) {
      record.warnings.push_back(
          {std::string(kDuplicate), "the same display name and versions as " + ShownPath(first->second)});
    }
  }
  std::erase_if(record.warnings,
                [&](const Warning& warning) { return Contains(policy_.ignore, warning.code); });
  if (record.warnings.empty()) return;
  switch (record.outcome) {
    case Outcome::kPassed:
    case Outcome::kStubOutOfRange:
    case Outcome::kSetupOutOfRange:
    case Outcome::kBothOutOfRange:
      break;
    default:
      return;  // filtered components were not checked; failures stay as they are
  }
  const auto failing = std::find_if(record.warnings.begin(), record.warnings.end(),
                                    [&](const Warning& w) { return Contains(policy_.errorOn, w.code); });
  if (failing != record.warnings.end()) {
    record.outcome = Outcome::kInvalid;
    record.reason = Reason{std::string(kErrorOnReason), "warnings",
                           "--error-on " + failing->code + ": " + failing->detail, {}, 0};
  } else if (policy_.strict) {
    record.outcome = Outcome::kInvalid;
    record.reason = Reason{std::string(kStrictReason), "warnings",
                           "--strict: " + record.warnings.front().code + ": " +
                               record.warnings.front().detail,
                           {}, 0};
  }
}

void UnjudgeRecord(ScanRecord& record) {
  std::erase_if(record.warnings, [](const Warning& warning) { return warning.code == kDuplicate; });
  if (record.reason && (record.reason->code == kStrictReason || record.reason->code == kErrorOnReason)) {
    record.reason.reset();
    record.outcome = ComparedOutcome(record);
  }
}

}  // namespace packprobe::scan
