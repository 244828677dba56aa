#include "gate/policy.h"

#include <algorithm>
#include <new>

#include "gate/selection.h"
#include "crypto/sha256.h"
#include "util/shown_text.h"

namespace packprobe::gate {
namespace {

bool Contains(const std::vector<std::string>& codes, std::string_view code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

bool IsWarningCode(std::string_view code) {
  return std::any_of(std::begin(kWarnings), std::end(kWarnings),
                     [&](const WarningRow& row) { return row.code == code; });
}

// The signatures of one program file of a record, as the signing policy
// sees them.
struct SignedFile {
  const SignatureReport* report;
  const char* prefix;  // of the codes: "stub", "setup"
  const char* what;    // in sentences
  bool required;
};

std::string SignerText(const crypto::SignatureFacts& facts) {
  return (facts.subject.empty() ? std::string("an unnamed signer") : facts.subject) +
         (facts.fingerprint.empty() ? "" : " (SHA-256 " + facts.fingerprint + ")");
}

// The failure the signing policy finds with one file, if any.
std::optional<Reason> SigningFailure(const SignedFile& file) {
  const SignatureReport& report = *file.report;
  const std::string prefix = file.prefix;
  if (report.state == crypto::SignatureState::kUnsigned) {
    if (!file.required) return std::nullopt;
    return Reason{prefix + "-unsigned", std::string(kSigningStep),
                  std::string("--require-signed ") + file.prefix + ": " + file.what + " is not signed", {}, 0};
  }
  if (report.state != crypto::SignatureState::kValid && file.required) {
    return Reason{prefix + "-signature-invalid", std::string(kSigningStep),
                  std::string("--require-signed ") + file.prefix + ": " + file.what + "'s signature is " +
                      std::string(crypto::SignatureStateName(report.state)) + ": " + report.problem,
                  {}, 0};
  }
  if (!report.signatures.empty() && report.signatures.front().pin == crypto::PinCheck::kOtherSigner) {
    return Reason{prefix + "-signer-not-pinned", std::string(kSigningStep),
                  std::string(file.what) + " is signed by " + SignerText(report.signatures.front()) +
                      ", none of the signers pinned with --signer",
                  {}, 0};
  }
  return std::nullopt;
}

}  // namespace

std::string WarningCodeList() {
  std::string list;
  for (const WarningRow& row : kWarnings) {
    if (!list.empty()) list += ", ";
    list += row.code;
  }
  return list;
}

std::optional<std::vector<std::string>> ParseWarningCodes(std::string_view list, std::string& error) {
  std::vector<std::string> codes;
  while (true) {
    const std::size_t comma = list.find(',');
    const std::string_view code = list.substr(0, comma);
    if (!IsWarningCode(code)) {
      // Built in a reserved buffer: GCC 12 warns (-Wrestrict, wrongly) about
      // the same text built with operator+ or appended to a short string.
      std::string message;
      message.reserve(code.size() + 200);
      message.push_back('"');
      message.append(code.data(), code.size());
      message.append("\" is no warning code; the codes are: ");
      message.append(WarningCodeList());
      error = std::move(message);
      return std::nullopt;
    }
    if (!Contains(codes, code)) codes.emplace_back(code);
    if (comma == list.npos) break;
    list.remove_prefix(comma + 1);
  }
  return codes;
}

std::optional<std::string> FirstPaths::FirstOr(std::string_view key, std::string_view path) {
  // The digest decides: two keys share one only by a collision of 96 bits.
  crypto::Sha256 digest;
  digest.Update(key.data(), key.size());
  const std::optional<crypto::Sha256Digest> sum = digest.Finish();
  if (!sum) throw std::bad_alloc();
  std::uint64_t high = 0;
  std::uint32_t low = 0;
  for (int i = 0; i < 8; ++i) high = high << 8 | (*sum)[i];
  for (int i = 8; i < 12; ++i) low = low << 8 | (*sum)[i];
  if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = high & mask;; at = (at + 1) & mask) {
    Slot& slot = slots_[at];
    if (slot.at == 0) {
      slot = Slot{high, low, Keep(path) + 1};
      ++used_;
      return std::nullopt;
    }
    if (slot.high == high && slot.low == low) {
      const std::uint32_t place = slot.at - 1;
      return std::string(chunks_[place / kChunk].get() + place % kChunk);
    }
  }
}

std::uint32_t FirstPaths::Keep(std::string_view path) {
  // Paths are far shorter than a chunk (the systems open none longer than
  // 32,767 characters); a longer one is kept cut.
  path = path.substr(0, std::min(path.size(), kChunk / 2));
  if (kChunk - filled_ < path.size() + 1) {
    chunks_.push_back(std::make_unique<char[]>(kChunk));
    filled_ = 0;
  }
  char* to = chunks_.back().get() + filled_;
  std::copy(path.begin(), path.end(), to);
  to[path.size()] = '\0';
  const std::size_t place = (chunks_.size() - 1) * kChunk + filled_;
  filled_ += path.size() + 1;
  return static_cast<std::uint32_t>(place);
}

void FirstPaths::Grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.at == 0) continue;
    std::size_t at = slot.high & mask;
    while (slots_[at].at != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

std::string DescribeWaiver(const Waiver& waiver) {
  return waiver.path + " " + waiver.code + (waiver.until.empty() ? "" : " (until " + waiver.until + ")");
}

const Waiver* PolicyJudge::Waiving(ScanRecord& record, std::string_view code) {
  uses_.resize(policy_.waivers.size());
  const std::string absolute = JoinedPath(context_.currentFolder, record.path);
  for (std::size_t i = 0; i < policy_.waivers.size(); ++i) {
    const Waiver& waiver = policy_.waivers[i];
    if (waiver.code != code ||
        !Excluded({{waiver.path, JoinedPath(context_.currentFolder, waiver.base)}}, record.relativePath, absolute)) {
      continue;
    }
    if (!waiver.until.empty() && waiver.until < context_.today) {
      ++uses_[i].ended;
      const std::string detail = "the waiver " + DescribeWaiver(waiver) + " ended on " + waiver.until +
                                 " and waives nothing now: " + waiver.reason;
      const bool told = std::any_of(record.warnings.begin(), record.warnings.end(),
                                    [&](const Warning& w) { return w.code == kWaiverExpired && w.detail == detail; });
      if (!told) record.warnings.push_back({std::string(kWaiverExpired), detail});
      continue;
    }
    ++uses_[i].waived;
    return &waiver;
  }
  return nullptr;
}

void PolicyJudge::Judge(ScanRecord& record) {
  if (record.inspected && !record.name.empty() && record.outcome != Outcome::kFiltered) {
    const std::string key = record.name + '\x1F' + std::to_string(record.stub.version.value_or(0)) +
                            '\x1F' + std::to_string(record.setup.version.value_or(-1));
    if (const std::optional<std::string> first = seen_.FirstOr(key, record.path)) {
      record.warnings.push_back({std::string(kDuplicateWarning),
                                 "the same display name and versions as " + ShownPath(*first)});
    }
  }
  // Signatures: a failure the signing policy finds, else a warning of one
  // that does not hold.
  std::optional<Reason> signingFailure;
  for (const SignedFile file : {SignedFile{record.signature ? &*record.signature : nullptr, "stub",
                                           "the component file", signing_.requireStub},
                                SignedFile{record.setupSignature ? &*record.setupSignature : nullptr,
                                           "setup", "veksetup.exe", signing_.requireSetup}}) {
    if (file.report == nullptr) continue;
    std::optional<Reason> failure = SigningFailure(file);
    if (!failure && file.report->state != crypto::SignatureState::kUnsigned &&
        file.report->state != crypto::SignatureState::kValid) {
      record.warnings.push_back({std::string(file.prefix) + "-signature-invalid",
                                 std::string(file.what) + "'s signature is " +
                                     std::string(crypto::SignatureStateName(file.report->state)) + ": " +
                                     file.report->problem});
    }
    if (failure && !signingFailure) signingFailure = std::move(failure);
  }
  // Waivers of warnings first (an ended one adds a warning of its own).
  for (std::size_t i = 0; i < record.warnings.size(); ++i) {
    if (const Waiver* waiver = Waiving(record, record.warnings[i].code)) record.warnings[i].waived = waiver->reason;
  }
  const Warning* failing = nullptr;
  const Warning* firstActive = nullptr;
  for (Warning& warning : record.warnings) {
    warning.ignored = Contains(policy_.ignore, warning.code);
    if (warning.ignored || !warning.waived.empty()) continue;
    if (firstActive == nullptr) firstActive = &warning;
    if (failing == nullptr && Contains(policy_.errorOn, warning.code)) failing = &warning;
  }
  // Filtered components were not compared; failures stay as they are.
  const OutcomeClass kind = ClassOf(record.outcome);
  if (signingFailure && (kind == OutcomeClass::kPass || kind == OutcomeClass::kOutOfRange)) {
    record.outcome = Outcome::kInvalid;
    record.reason = std::move(signingFailure);
  } else if (firstActive != nullptr && (kind == OutcomeClass::kPass || kind == OutcomeClass::kOutOfRange)) {
    if (failing != nullptr) {
      record.outcome = Outcome::kInvalid;
      record.reason = Reason{std::string(kErrorOnReason), std::string(kPolicyStep),
                             "--error-on " + failing->code + ": " + failing->detail, {}, 0};
    } else if (policy_.strict) {
      record.outcome = Outcome::kInvalid;
      record.reason = Reason{std::string(kStrictReason), std::string(kPolicyStep),
                             "--strict: " + firstActive->code + ": " + firstActive->detail, {}, 0};
    }
  }
  // Then of the failure: by its outcome, or its reason's code.
  if (IsFailure(record.outcome)) {
    const Waiver* waiver = Waiving(record, OutcomeName(record.outcome));
    if (waiver == nullptr && record.reason) waiver = Waiving(record, record.reason->code);
    if (waiver != nullptr) record.waived = Waived{waiver->code, waiver->reason, waiver->until, waiver->path};
  }
}

std::vector<PolicyJudge::WaiverUse> PolicyJudge::Uses() const {
  std::vector<WaiverUse> uses = uses_;
  uses.resize(policy_.waivers.size());
  return uses;
}

std::vector<Warning> PolicyJudge::RunWarnings() const {
  std::vector<Warning> warnings;
  for (std::size_t i = 0; i < policy_.waivers.size(); ++i) {
    if (i < uses_.size() && uses_[i].waived + uses_[i].ended != 0) continue;
    const Waiver& waiver = policy_.waivers[i];
    warnings.push_back({std::string(kWaiverUnused), "the waiver " + DescribeWaiver(waiver) +
                                                        " matched no component: " + waiver.reason});
  }
  return warnings;
}

void ForgetJudgement(ScanRecord& record) {
  record.outcome = ScanRecord{}.outcome;
  record.exitCode = 0;
  record.stub.inRange.reset();
  record.setup.inRange.reset();
  record.verdictMessage.clear();
  record.rangeDetail.clear();
  record.waived.reset();
  std::erase_if(record.warnings, [](const Warning& warning) {
    return warning.code == kDuplicateWarning || warning.code == kWaiverExpired ||
           warning.code.ends_with("-signature-invalid");
  });
  for (Warning& warning : record.warnings) {
    warning.ignored = false;
    warning.waived.clear();
  }
  if (record.reason && (record.reason->step == kPolicyStep || record.reason->step == kManifestStep ||
                        record.reason->step == kSigningStep)) {
    record.reason.reset();
  }
}

}  // namespace packprobe::gate
