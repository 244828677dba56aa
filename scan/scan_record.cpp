#include "scan/scan_record.h"

#include <algorithm>
#include <utility>

#include "util/text.h"

namespace packprobe::scan {
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
  }
  return "inspection";
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
  if (chosen != nullptr) {
    return Reason{chosen->code, std::string(StepName(chosen->step)), chosen->detail,
                  Utf8(chosen->subject), chosen->layerResult};
  }
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
  std::string quoted(1, '"');
  quoted += Utf8(text);
  quoted += '"';
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
    const std::u16string_view tail = comments.substr(comments.size() - std::min<std::size_t>(comments.size(), 7));
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

}  // namespace

std::string_view OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kPassed: return "passed";
    case Outcome::kFiltered: return "filtered";
    case Outcome::kStubOutOfRange: return "stub-out-of-range";
    case Outcome::kSetupOutOfRange: return "setup-out-of-range";
    case Outcome::kBothOutOfRange: return "both-out-of-range";
    case Outcome::kVersionChanged: return "version-changed";
    case Outcome::kContentChanged: return "content-changed";
    case Outcome::kMetadataChanged: return "metadata-changed";
    case Outcome::kUnexpected: return "unexpected";
    case Outcome::kAbsent: return "absent";
    case Outcome::kMissing: return "missing";
    case Outcome::kInvalid: return "invalid";
    case Outcome::kSystemError: return "system-error";
  }
  return "system-error";
}

int ScanExitCode(Outcome outcome) {
  switch (outcome) {
    case Outcome::kPassed:
    case Outcome::kFiltered:
      return kScanPassed;
    case Outcome::kStubOutOfRange:
    case Outcome::kSetupOutOfRange:
    case Outcome::kBothOutOfRange:
      return kScanOutOfRange;
    case Outcome::kVersionChanged:
    case Outcome::kContentChanged:
    case Outcome::kMetadataChanged:
    case Outcome::kUnexpected:
    case Outcome::kAbsent:
      return kScanDiffers;
    default:
      return kScanFailed;
  }
}

int WorseScanExitCode(int a, int b) {
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

bool IsPlainVersionText(std::u16string_view text) {
  if (text.size() != 7) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= u'0' && text[i] <= u'9';
    if (i % 2 == 0 ? !digit : text[i] != u'.') return false;
  }
  return true;
}

ScanRecord MakeRecord(std::string path, const ComponentInfo& info, const CheckCriteria& criteria) {
  const Verdict verdict = JudgeComponent(info, criteria);
  ScanRecord record;
  record.path = std::move(path);
  record.file = Utf8(info.componentFile);
  record.exitCode = verdict.exitCode;
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
  if (verdict.compared()) {
    record.stub.inRange = !verdict.stubFailed;
    if (info.setupVersion != kNoVersion) record.setup.inRange = !verdict.setupFailed;
  }

  // A failed inspection outranks the comparisons; the exit code still says
  // what PACKPROBE returns.
  if (!info.inspected) {
    record.reason = ReasonOf(info);
    // Metadata that does not load is the package's fault, not the host's:
    // PACKPROBE gives it status 6, and the record keeps that status and exit
    // code, but its outcome sends people to the package.
    const bool packageFault = record.reason->code.rfind("metadata-", 0) == 0;
    record.outcome = info.status == kStatusMissing ? Outcome::kMissing
                     : info.status == kStatusInvalid || packageFault
                         ? Outcome::kInvalid
                         : Outcome::kSystemError;
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

  // PACKPROBE's verdict lines, joined into one.
  for (const std::u16string_view line : VerdictLines(verdict)) {
    if (!record.verdictMessage.empty()) record.verdictMessage += ' ';
    record.verdictMessage += Utf8(line);
  }
  record.rangeDetail = RangeDetail(record, criteria);
  AddVersionWarnings(info, record.warnings);
  return record;
}

std::string RangeDetail(const ScanRecord& record, const CheckCriteria& criteria) {
  const auto outside = [](const char* which, VersionNumber value, VersionNumber min,
                          VersionNumber max) {
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

ScanRecord MakeSystemErrorRecord(std::string path, std::string code, std::string detail) {
  ScanRecord record;
  record.path = std::move(path);
  record.outcome = Outcome::kSystemError;
  record.exitCode = kExitSystemError;
  record.status = kStatusSystemError;
  record.reason = Reason{std::move(code), "inspection", std::move(detail), {}, 0};
  return record;
}

ScanRecord MakeSearchRecord(std::string path, Outcome outcome, int status, std::string code,
                            std::string detail) {
  ScanRecord record;
  record.path = std::move(path);
  record.outcome = outcome;
  record.exitCode = status;
  record.status = status;
  record.reason = Reason{std::move(code), "search", std::move(detail), {}, 0};
  return record;
}

}  // namespace packprobe::scan
