// What GitHub Actions shows: workflow-command annotations on the log, and
// the Markdown summary for the job's page.
#include "report/escape.h"
#include "report/report.h"
#include "report/summary.h"
#include "util/shown_text.h"

namespace packprobe::report {
namespace {

class GithubReport : public Report {
 public:
  explicit GithubReport(std::FILE* out) : Report(out) {}
  void Add(const ScanRecord& r) override {
    const std::string file = GithubProperty(ShownPath(r.path));
    std::string text;
    if (gate::IsFailure(r.outcome)) {
      const auto [code, detail] = FailureText(r);
      text += "::error file=" + file + ",title=" + GithubProperty(code) + "::" + GithubData(detail) + "\n";
    }
    for (const gate::Warning& w : r.warnings) {
      if (w.ignored) continue;
      text += "::warning file=" + file + ",title=" + GithubProperty(w.code) + "::" + GithubData(w.detail) + "\n";
    }
    Write(text);
  }
  void End(const RunEnd& end) override { Write(SummaryLine(end) + "\n"); }
};

}  // namespace

std::unique_ptr<Report> MakeGithubReport(std::FILE* out) { return std::make_unique<GithubReport>(out); }

void MarkdownSummary::Add(const ScanRecord& r) {
  if (!gate::IsFailure(r.outcome)) return;
  ++failures_;
  if (listed_ >= kMaxRows || rows_.size() >= kMaxRowBytes) return;
  ++listed_;
  const auto [code, detail] = FailureText(r);
  rows_ += "| " + MarkdownText(ShownPath(r.path)) + " | " + MarkdownText(gate::OutcomeName(r.outcome)) +
           " | " + MarkdownText(code) + " | " + MarkdownText(detail) + " |\n";
}

std::string MarkdownSummary::Text(const RunEnd& end) const {
  const gate::Totals& totals = end.totals;
  std::string text = "## packprobe-scan: ";
  if (totals.total == 0) {
    text += "no component was checked\n\n";
  } else if (failures_ == 0) {
    // Filtered components were not checked: they pass nothing.
    const std::size_t filtered = totals.OfClass(gate::OutcomeClass::kSkipped);
    if (filtered == totals.total) {
      text += "no component was checked: all " + GroupDigits(totals.total) + " were filtered out\n\n";
    } else if (filtered != 0) {
      text += "every one of " + GroupDigits(totals.total - filtered) + " components checked passed (" +
              GroupDigits(filtered) + " filtered out)\n\n";
    } else {
      text += "every one of " + GroupDigits(totals.total) + " components passed\n\n";
    }
  } else {
    text += GroupDigits(failures_) + " of " + GroupDigits(totals.total) + " components failed\n\n";
  }
  text += "| outcome | components |\n| --- | ---: |\n";
  for (const gate::OutcomeRow& row : gate::kOutcomes) {
    text += "| " + MarkdownText(row.name) + " | " + GroupDigits(totals.Of(row.outcome)) + " |\n";
  }
  const gate::RunSettings& s = header_.settings;
  const CheckCriteria& c = s.criteria;
  text += "\nRanges: " + MarkdownText(RangeText("VEKStub", c.stubMin, c.stubMax)) + "; " +
          MarkdownText(RangeText("VEKSetup", c.setupMin, c.setupMax));
  if (c.firmwareOnly) text += "; firmware only";
  if (c.softwareOnly) text += "; software only";
  text += ".\n";
  const auto list = [](const std::vector<std::string>& codes) {
    std::string joined;
    for (const std::string& code : codes) joined += (joined.empty() ? "" : ", ") + MarkdownText(code);
    return joined;
  };
  if (s.policy.strict) {
    text += "\nPolicy: every warning fails its component";
  } else if (!s.policy.errorOn.empty()) {
    text += "\nPolicy: these warnings fail their component: " + list(s.policy.errorOn);
  } else {
    text += "\nPolicy: warnings fail no component";
  }
  if (!s.policy.ignore.empty()) text += "; ignored: " + list(s.policy.ignore);
  if (!s.selection.exclude.empty()) {
    std::vector<std::string> globs;
    for (const gate::ExcludePattern& pattern : s.selection.exclude) globs.push_back(pattern.glob);
    text += "; paths excluded: " + list(globs);
  }
  text += ".\n";
  if (failures_ != 0) {
    text += "\n### Failures\n\n| path | outcome | reason | detail |\n| --- | --- | --- | --- |\n" + rows_;
    if (listed_ < failures_) {
      text += "\nand " + GroupDigits(failures_ - listed_) + " more failures: see the report.\n";
    }
  }
  return text + "\n";
}

}  // namespace packprobe::report
