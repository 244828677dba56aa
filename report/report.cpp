#include "report/report.h"

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

#include "component/version_number.h"
#include "util/text.h"

namespace packprobe::report {

void Report::Write(std::string_view bytes) {
  if (bytes.empty() || !ok_) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), out_) != bytes.size()) {
    Fail("the report could not be written: " + std::system_category().message(errno));
  }
}

bool Report::Flush() {
  if (ok_ && std::fflush(out_) != 0) {
    Fail("the report could not be written: " + std::system_category().message(errno));
  }
  return ok_;
}

void Report::Fail(std::string error) {
  if (!ok_) return;  // the first failure is the cause
  ok_ = false;
  error_ = std::move(error);
}

std::unique_ptr<Report> MakeReport(Format format, const ReportStyle& style, std::FILE* out) {
  switch (format) {
    case Format::kJsonl: return MakeJsonLinesReport(out);
    case Format::kCsv: return MakeCsvReport(out);
    case Format::kJunit: return MakeJunitReport(out);
    case Format::kGithub: return MakeGithubReport(style, out);
    case Format::kText:
    case Format::kMarkdown: break;
  }
  return MakeTextReport(style, out);
}

std::string GroupDigits(std::size_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, ',');
  return digits;
}

std::string SummaryLine(const RunEnd& end) {
  const gate::Totals& totals = end.totals;
  std::string line = GroupDigits(totals.total) + (totals.total == 1 ? " component: " : " components: ");
  // One part per group of the outcome table, in its order; "passed" always.
  std::vector<std::pair<std::string_view, std::size_t>> groups;
  for (const gate::OutcomeRow& row : gate::kOutcomes) {
    if (groups.empty() || groups.back().first != row.total) groups.emplace_back(row.total, 0);
    groups.back().second += totals.Of(row.outcome);
  }
  bool first = true;
  for (const auto& [group, count] : groups) {
    if (count == 0 && !first) continue;
    if (!first) line += ", ";
    first = false;
    std::string_view word = group;
    if (count == 1) {
      for (const gate::OutcomeRow& row : gate::kOutcomes) {
        if (row.total == group) word = row.totalOfOne;
      }
    }
    line += GroupDigits(count) + " " + std::string(word);
  }
  if (totals.waived != 0) line += ", " + GroupDigits(totals.waived) + " waived";
  if (totals.warnings != 0) {
    line += ", " + GroupDigits(totals.warnings) + (totals.warnings == 1 ? " warning" : " warnings");
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, ", in %.1f s", end.seconds);
  return line + seconds;
}

std::string RangeText(const char* name, int min, int max) {
  return std::string(name) + " " + Utf16ToUtf8(FormatVersionNumber(min)) + " to " +
         Utf16ToUtf8(FormatVersionNumber(max));
}

namespace {

std::string FactsText(const crypto::SignatureFacts& facts) {
  std::string text(crypto::SignatureStateName(facts.state));
  if (!facts.subject.empty() || !facts.fingerprint.empty()) {
    text += ": " + (facts.subject.empty() ? std::string("an unnamed signer") : facts.subject);
    if (!facts.fingerprint.empty()) text += " (SHA-256 " + facts.fingerprint + ")";
  }
  if (facts.algorithm) text += " with " + std::string(crypto::AlgorithmInfo(*facts.algorithm).name);
  if (facts.signingTime) {
    text += ", timestamp " + crypto::TimeText(*facts.signingTime) + " (" +
            std::string(crypto::TimestampKindName(facts.timestamp)) + ")";
  }
  text += ", chain " + std::string(crypto::ChainCheckName(facts.chain));
  if (facts.pin != crypto::PinCheck::kNoPins) text += ", " + std::string(crypto::PinCheckName(facts.pin));
  if (!facts.problem.empty()) text += ": " + facts.problem;
  for (const crypto::SignatureFacts& inner : facts.nested) text += "; nested: " + FactsText(inner);
  return text;
}

}  // namespace

std::string SignatureText(const gate::SignatureReport& report) {
  if (report.signatures.empty()) {
    std::string text(crypto::SignatureStateName(report.state));
    return report.problem.empty() ? text : text + ": " + report.problem;
  }
  std::string text;
  for (const crypto::SignatureFacts& facts : report.signatures) {
    if (!text.empty()) text += "; also ";
    text += FactsText(facts);
  }
  return text;
}

SignerColumns SignerOf(const gate::SignatureReport& report) {
  if (report.signatures.empty()) return {};
  const crypto::SignatureFacts& first = report.signatures.front();
  return {first.subject, first.fingerprint, first.signingTime ? crypto::TimeText(*first.signingTime) : ""};
}

std::string WaivedText(const gate::Waived& waived) {
  return "waived " + waived.code + (waived.until.empty() ? "" : " until " + waived.until) + ": " + waived.reason;
}

std::pair<std::string, std::string> FailureText(const ScanRecord& record) {
  if (record.reason) return {record.reason->code, record.reason->detail};
  return {std::string(gate::OutcomeName(record.outcome)),
          record.rangeDetail.empty() ? record.verdictMessage : record.rangeDetail};
}

}  // namespace packprobe::report
