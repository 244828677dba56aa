#include "gate/judgement.h"

#include <algorithm>

#include "crypto/sha256.h"
#include "util/text.h"

namespace packprobe::gate {
namespace {

std::string Display(VersionNumber value) { return Utf16ToUtf8(FormatVersionNumber(value)); }

}  // namespace

bool RangesGiven(const CheckCriteria& criteria) {
  const CheckCriteria defaults;
  return criteria.stubMin != defaults.stubMin || criteria.stubMax != defaults.stubMax ||
         criteria.setupMin != defaults.setupMin || criteria.setupMax != defaults.setupMax;
}

void Totals::Count(const ScanRecord& record) {
  ++total;
  if (record.waived) {
    ++waived;
  } else {
    ++counts[static_cast<std::size_t>(record.outcome)];
  }
  for (const Warning& warning : record.warnings) {
    if (!warning.waived.empty()) {
      ++waived;
    } else if (!warning.ignored) {
      ++warnings;
    }
  }
}

std::size_t Totals::Failures() const {
  std::size_t failures = 0;
  for (const OutcomeRow& row : kOutcomes) {
    if (IsFailure(row.outcome)) failures += Of(row.outcome);
  }
  return failures;
}

std::size_t Totals::OfClass(OutcomeClass kind) const {
  std::size_t sum = 0;
  for (const OutcomeRow& row : kOutcomes) {
    if (row.outcomeClass == kind) sum += Of(row.outcome);
  }
  return sum;
}

FoundPaths DescribeFoundPaths(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  crypto::Sha256 digest;
  for (const std::string& key : keys) digest.Update(key.data(), key.size() + 1);  // with its NUL
  const std::optional<crypto::Sha256Digest> sum = digest.Finish();
  return FoundPaths{keys.size(), sum ? crypto::Sha256Hex(*sum) : std::string()};
}

Outcome FailureOutcome(int status, std::string_view code) {
  // A path the system refuses for its length names no missing file but one
  // the host could not reach.
  if (code == "path-too-long") return Outcome::kSystemError;
  if (status == kStatusMissing) return Outcome::kMissing;
  if (status == kStatusInvalid) return Outcome::kInvalid;
  // Metadata that does not load is the package's fault, not the host's:
  // PACKPROBE gives it status 6, but the outcome sends people to the package.
  if (code.starts_with("metadata-")) return Outcome::kInvalid;
  return Outcome::kSystemError;
}

std::string RangeDetail(const ScanRecord& record, const CheckCriteria& criteria) {
  const auto outside = [](const char* which, VersionNumber value, VersionNumber min, VersionNumber max) {
    return std::string(which) + " " + Display(value) + " (" + std::to_string(value) +
           ") is outside its range " + Display(min) + " to " + Display(max) + " (" +
           std::to_string(min) + " to " + std::to_string(max) + ")";
  };
  std::string detail;
  if (record.stub.inRange == false) {
    detail = outside("VEKStub", record.stub.version.value_or(0), criteria.stubMin, criteria.stubMax);
  }
  if (record.setup.inRange == false) {
    if (!detail.empty()) detail += "; ";
    detail += outside("VEKSetup", record.setup.version.value_or(0), criteria.setupMin, criteria.setupMax);
  }
  return detail;
}

void JudgeFound(ScanRecord& record, const CheckCriteria& criteria) {
  record.stub.inRange.reset();
  record.setup.inRange.reset();
  record.verdictMessage.clear();
  Verdict verdict;
  if (record.stub.version) {
    // An inspection ran: PACKPROBE's verdict on what it left in the record.
    const VerdictFacts facts{record.inspected, record.status, record.type == "firmware",
                             record.type == "software", *record.stub.version,
                             record.setup.version.value_or(kNoVersion)};
    verdict = JudgeComponent(facts, criteria);
    if (verdict.compared()) {
      record.stub.inRange = !verdict.stubFailed;
      if (record.setup.version) record.setup.inRange = !verdict.setupFailed;
    }
    for (const std::u16string_view line : VerdictLines(verdict)) {
      if (!record.verdictMessage.empty()) record.verdictMessage += ' ';
      record.verdictMessage += Utf16ToUtf8(line);
    }
    record.exitCode = verdict.exitCode;
  } else {
    record.exitCode = record.status;
  }
  if (record.reason) {
    record.outcome = FailureOutcome(record.status, record.reason->code);
  } else if (verdict.filtered()) {
    record.outcome = Outcome::kFiltered;
  } else if (verdict.stubFailed && verdict.setupFailed) {
    record.outcome = Outcome::kBothOutOfRange;
  } else if (verdict.stubFailed) {
    record.outcome = Outcome::kStubOutOfRange;
  } else if (verdict.setupFailed) {
    record.outcome = Outcome::kSetupOutOfRange;
  } else {
    record.outcome = Outcome::kPassed;
  }
  record.rangeDetail = RangeDetail(record, criteria);
}

RunJudge::RunJudge(const RunSettings& settings, const std::vector<ManifestEntry>* manifest,
                   std::function<bool(const std::string&)> excluded, JudgeContext context)
    : settings_(settings), excluded_(std::move(excluded)), policy_(settings.policy, std::move(context), settings.signing) {
  if (manifest != nullptr) manifest_.emplace(*manifest);
}

void RunJudge::Count(const ScanRecord& record) {
  totals_.Count(record);
  if (!record.waived) exitCode_ = WorseExitCode(exitCode_, ScanExitCode(record.outcome));
}

void RunJudge::Judge(ScanRecord& record) {
  JudgeFound(record, settings_.criteria);
  if (manifest_) manifest_->Judge(record, RangesGiven(settings_.criteria));
  policy_.Judge(record);
  Count(record);
}

void RunJudge::Finish(std::size_t found, const std::string& folder,
                      const std::function<void(ScanRecord&&)>& emit) {
  if (manifest_) {
    const auto wanted = [&](const std::string& path) {
      // Only the share's entries; an entry the selection leaves out was not
      // looked for.
      if (settings_.shard && ShareOf(path, settings_.shard->count) != settings_.shard->index) {
        return false;
      }
      return !(excluded_ && excluded_(path));
    };
    manifest_->EmitAbsent(folder, wanted, [&](ScanRecord&& record) {
      Count(record);
      emit(std::move(record));
    });
  }
  runWarnings_ = policy_.RunWarnings();
  // Nothing found in what was named is no pass: a wrong artifact path must
  // not ship a release. A shard whose share is empty while the paths held
  // components checked what it was given.
  if (found == 0 && !settings_.allowEmpty) exitCode_ = WorseExitCode(exitCode_, kScanNothingChecked);
}

}  // namespace packprobe::gate
