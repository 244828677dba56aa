#include "gate/record.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "util/text.h"

namespace packprobe::gate {
namespace {

std::string Utf8(std::u16string_view text) { return Utf16ToUtf8(text); }

std::string_view StepName(InspectionStep step) {
  switch (step) {
    case InspectionStep::kExistence: return "existence";
    case InspectionStep::kWorkDirectory: return "work-directory";
    case InspectionStep::kOpenArchive: return "open-archive";
    case InspectionStep::kExtractMetadata: return "extract-metadata";
    case InspectionStep::kExtractSetup: return "extract-setup";
    case InspectionStep::kLoadMetadata: return "load-metadata";
    case InspectionStep::kReadStubVersion: return "read-stub-version";
    case InspectionStep::kReadSetupVersion: return "read-setup-version";
    case InspectionStep::kDigest: return "hash";
    case InspectionStep::kCheckSignatures: return "check-signatures";
  }
  return "inspection";
}

Reason ReasonOfFault(const InspectionFault& fault) {
  return Reason{fault.code, std::string(StepName(fault.step)), fault.detail, Utf8(fault.subject),
                fault.layerResult};
}

// The reason of a failed inspection: the last recorded fault that set the
// status the record ended with (a later failure overwrites an earlier one),
// or a plain one from the status when the inspection recorded none.
Reason ReasonOf(const ComponentInfo& info) {
  const InspectionFault* chosen = nullptr;
  for (const InspectionFault& fault : info.faults) {
    if (fault.status == info.status) chosen = &fault;
  }
  if (chosen == nullptr && !info.faults.empty()) chosen = &info.faults.back();
  if (chosen != nullptr) return ReasonOfFault(*chosen);
  switch (info.status) {
    case kStatusMissing:
      return Reason{"component-missing", "existence", "nothing exists at the path", {}, 0};
    case kStatusInvalid:
      return Reason{"invalid-component", "inspection", Utf8(info.message), {}, 0};
    default:
      return Reason{"system-error", "inspection", Utf8(info.message), {}, 0};
  }
}

std::string Quoted(std::u16string_view text) {
  // Built in place: GCC 12 warns -Wrestrict, wrongly, about "\"" + text.
  std::string quoted = Utf8(text);
  quoted.insert(quoted.begin(), '"');
  quoted.push_back('"');
  return quoted;
}

std::string Display(VersionNumber value) { return Utf8(FormatVersionNumber(value)); }

// The version word of a Comments string: its last space-separated word that
// starts with a digit ("3.0.3.0" in "VEKStub 3.0.3.0 rc1").
std::u16string_view VersionWord(std::u16string_view comments) {
  std::size_t end = comments.size();
  while (end > 0) {
    while (end > 0 && comments[end - 1] == u' ') --end;
    std::size_t start = end;
    while (start > 0 && comments[start - 1] != u' ') --start;
    if (start < end && comments[start] >= u'0' && comments[start] <= u'9') {
      return comments.substr(start, end - start);
    }
    end = start;
  }
  return {};
}

void AddVersionWarnings(const ComponentInfo& info, std::vector<Warning>& warnings) {
  if (info.stubVersionText) {
    const std::u16string_view comments = *info.stubVersionText;
    const std::u16string_view word = VersionWord(comments);
    if (!word.empty() && !IsPlainVersionText(word)) {
      warnings.push_back({"stub-version-text",
                          "the VEKStub version text " + Quoted(word) +
                              " is not four one-digit parts, so its number " +
                              std::to_string(info.stubVersion) + " (shown as " +
                              Display(info.stubVersion) + ") misrepresents it"});
    }
    const std::u16string_view tail =
        comments.substr(comments.size() - std::min<std::size_t>(comments.size(), 7));
    if (!IsPlainVersionText(tail)) {
      warnings.push_back({"stub-comments-tail",
                          "the last seven characters of the Comments string " + Quoted(comments) +
                              " are " + Quoted(tail) + ", not a version; they read as " +
                              std::to_string(info.stubVersion)});
    }
  }
  if (info.setupVersion != kNoVersion && info.holdsSetup.value_or(false) && info.inspected) {
    if (!info.setupVersionText) {
      warnings.push_back({"setup-no-file-version",
                          "veksetup.exe has no FileVersion string; its version reads as 0"});
    } else if (!IsPlainVersionText(*info.setupVersionText)) {
      warnings.push_back({"setup-version-text",
                          "the VEKSetup FileVersion " + Quoted(*info.setupVersionText) +
                              " is not four one-digit parts, so its number " +
                              std::to_string(info.setupVersion) + " (shown as " +
                              Display(info.setupVersion) + ") misrepresents it"});
    }
  }
}

std::string Hex(const crypto::Sha256Digest& digest) { return crypto::Sha256Hex(digest); }

}  // namespace

bool IsPlainVersionText(std::u16string_view text) {
  if (text.size() != 7) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= u'0' && text[i] <= u'9';
    if (i % 2 == 0 ? !digit : text[i] != u'.') return false;
  }
  return true;
}

double RoundedMilliseconds(double milliseconds) {
  return std::round(milliseconds * 1000) / 1000;
}

const std::string& SignatureReport::Signer() const {
  static const std::string kNone;
  return signatures.empty() ? kNone : signatures.front().fingerprint;
}

ScanRecord FoundRecord(std::string path, std::string relativePath, const ComponentInfo& info,
                       bool hashed) {
  ScanRecord record;
  record.path = std::move(path);
  record.relativePath = std::move(relativePath);
  record.file = Utf8(info.componentFile);
  record.status = info.status;
  record.inspected = info.inspected;
  record.name = Utf8(info.displayName);
  if (info.category) record.category = Utf8(*info.category);
  if (info.isFirmware) record.type = "firmware";
  if (info.isSoftware) record.type = "software";
  if (info.stubVersionText) record.stub.text = Utf8(*info.stubVersionText);
  record.stub.version = info.stubVersion;
  record.stub.display = Display(info.stubVersion);
  record.setupPresent = info.holdsSetup;
  if (info.setupVersion != kNoVersion) {
    if (info.setupVersionText) record.setup.text = Utf8(*info.setupVersionText);
    record.setup.version = info.setupVersion;
    record.setup.display = Display(info.setupVersion);
  }
  record.size = info.fileSize;
  if (hashed && info.fileSha256) record.sha256 = Hex(*info.fileSha256);
  if (!info.inspected) {
    record.reason = ReasonOf(info);
  } else if (hashed && !record.sha256) {
    // Checked but not hashed: a manifest cannot judge it, and a missing
    // digest must not pass for an unchanged one.
    const auto fault = std::find_if(info.faults.rbegin(), info.faults.rend(), [](const InspectionFault& f) {
      return f.step == InspectionStep::kDigest;
    });
    record.reason = fault != info.faults.rend()
                        ? ReasonOfFault(*fault)
                        : Reason{"hash-failed", "hash", "the component file could not be hashed", {}, 0};
  }
  for (auto [from, into] : {std::pair{&info.fileSignatures, &record.signature},
                            std::pair{&info.setupSignatures, &record.setupSignature}}) {
    if (*from) *into = SignatureReport{(*from)->state, (*from)->problem, (*from)->signatures};
  }
  AddVersionWarnings(info, record.warnings);
  return record;
}

ScanRecord CheckFailedRecord(std::string path, std::string relativePath, std::string detail) {
  ScanRecord record;
  record.path = std::move(path);
  record.relativePath = std::move(relativePath);
  record.status = kStatusSystemError;
  record.reason = Reason{"check-failed", "inspection", std::move(detail), {}, 0};
  return record;
}

ScanRecord SearchRecord(std::string path, std::string relativePath, int status, std::string code,
                        std::string detail) {
  ScanRecord record;
  record.path = std::move(path);
  record.relativePath = std::move(relativePath);
  record.status = status;
  record.reason = Reason{std::move(code), "search", std::move(detail), {}, 0};
  return record;
}

}  // namespace packprobe::gate
