// What GitHub Actions shows: workflow-command annotations on the log, and
// the Markdown summary for the job's page.
#include <filesystem>
#include <vector>

#include "report/escape.h"
#include "report/report.h"
#include "report/summary.h"
#include "util/shown_text.h"

namespace packprobe::report {
namespace {

// One annotation: its command's properties and message.
std::string Annotation(const char* kind, const std::string& file, const std::string& title,
                       const std::string& message) {
  return "::" + std::string(kind) + " file=" + GithubProperty(file) + ",title=" + GithubProperty(title) +
         "::" + GithubData(message) + "\n";
}

// GitHub shows the first ten errors and the first ten warnings of a step
// and drops the rest without a word: the errors come first, then the
// warnings, each up to the limit, then one notice that counts the rest and
// says where they are.
class GithubReport : public Report {
 public:
  GithubReport(const ReportStyle& style, std::FILE* out) : Report(out), style_(style) {}
  void Add(const ScanRecord& r) override {
    const std::string file = GithubFile(r.path, style_.github);
    if (gate::IsFailure(r.outcome) && !r.waived) {
      const auto [code, detail] = FailureText(r);
      if (errors_++ < style_.annotations) Write(Annotation("error", file, code, detail));
    }
    for (const gate::Warning& w : r.warnings) {
      if (w.ignored || !w.waived.empty()) continue;
      if (warnings_++ < style_.annotations) held_.push_back(Annotation("warning", file, w.code, w.detail));
    }
  }
  void End(const RunEnd& end) override {
    for (const gate::Warning& w : end.runWarnings) {
      if (warnings_++ < style_.annotations) {
        held_.push_back("::warning title=" + GithubProperty(w.code) + "::" + GithubData(w.detail) + "\n");
      }
    }
    for (const std::string& warning : held_) Write(warning);
    const std::size_t moreErrors = errors_ - std::min(errors_, style_.annotations);
    const std::size_t moreWarnings = warnings_ - std::min(warnings_, style_.annotations);
    if (moreErrors + moreWarnings != 0) {
      Write("::notice title=" + GithubProperty("packprobe-scan") + "::" +
            GithubData(GroupDigits(moreErrors) + (moreErrors == 1 ? " more error" : " more errors") + " and " +
                       GroupDigits(moreWarnings) + (moreWarnings == 1 ? " more warning" : " more warnings") +
                       " than GitHub shows here (" + GroupDigits(style_.annotations) +
                       " of each): the step summary and the JSON Lines report list them all") +
            "\n");
    }
    Write(SummaryLine(end) + "\n");
  }

 private:
  ReportStyle style_;
  std::size_t errors_ = 0;
  std::size_t warnings_ = 0;
  std::vector<std::string> held_;  // the warnings shown, after the errors
};

}  // namespace

std::unique_ptr<Report> MakeGithubReport(const ReportStyle& style, std::FILE* out) {
  return std::make_unique<GithubReport>(style, out);
}

std::string GithubFile(const std::string& path, const GithubView& view) {
  if (view.workspace.empty() || !IsPlainPath(path)) return ShownPath(path);
  namespace fs = std::filesystem;
  const fs::path given = fs::path(path);
  const fs::path absolute =
      (given.is_absolute() ? given : fs::path(view.currentFolder) / given).lexically_normal();
  const fs::path relative = absolute.lexically_relative(fs::path(view.workspace));
  const std::u8string text = relative.generic_u8string();
  if (relative.empty() || text.starts_with(u8"..")) return ShownPath(path);
  return ShownPath(std::string(text.begin(), text.end()));
}

void MarkdownSummary::Add(const ScanRecord& r) {
  const auto room = [&] {
    return listed_ < kMaxRows &&
           rows_.size() + warningRows_.size() + waivedRows_.size() + signedRows_.size() < kMaxRowBytes;
  };
  const auto waived = [&](const std::string& code, const std::string& text) {
    ++waived_;
    if (!room()) return;
    ++listed_;
    waivedRows_ += "| " + MarkdownText(ShownPath(r.path)) + " | " + MarkdownText(code) + " | " + MarkdownText(text) + " |\n";
  };
  if (r.waived) {
    waived(r.waived->code, WaivedText(*r.waived));
  } else if (gate::IsFailure(r.outcome)) {
    ++failures_;
    if (room()) {
      ++listed_;
      const auto [code, detail] = FailureText(r);
      rows_ += "| " + MarkdownText(ShownPath(r.path)) + " | " + MarkdownText(gate::OutcomeName(r.outcome)) + " | " +
               MarkdownText(code) + " | " + MarkdownText(detail) + " |\n";
    }
  }
  for (const gate::Warning& w : r.warnings) {
    if (w.ignored) continue;
    if (!w.waived.empty()) {
      waived(w.code, "waived: " + w.waived);
      continue;
    }
    ++warnings_;
    if (!room()) continue;
    ++listed_;
    warningRows_ += "| " + MarkdownText(ShownPath(r.path)) + " | " + MarkdownText(w.code) + " | " +
                    MarkdownText(w.detail) + " |\n";
  }
  for (const auto& [program, signature] : {std::pair{"component", &r.signature},
                                           std::pair{"veksetup.exe", &r.setupSignature}}) {
    if (!*signature || (*signature)->state == crypto::SignatureState::kUnsigned) continue;
    ++signed_;
    if (!room()) continue;
    ++listed_;
    signedRows_ += "| " + MarkdownText(ShownPath(r.path)) + " | " + MarkdownText(program) + " | " +
                   MarkdownText(SignatureText(**signature)) + " |\n";
  }
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
  if (totals.waived != 0) text += GroupDigits(totals.waived) + " failures and warnings waived.\n\n";
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
  const gate::SigningPolicy& signing = s.signing;
  if (signing.requireStub || signing.requireSetup) {
    text += "; signatures required of " +
            std::string(signing.requireStub && signing.requireSetup ? "the component and veksetup.exe"
                        : signing.requireStub                       ? "the component"
                                                                    : "veksetup.exe");
  }
  if (!signing.signers.empty()) text += "; signers pinned: " + list(signing.signers);
  if (!signing.trust.empty()) text += "; trusted roots from " + list(signing.trust);
  text += ".\n\nConfiguration: " + (s.config.empty() ? std::string("none") : MarkdownText(s.config)) + ".\n";
  if (failures_ != 0) {
    text += "\n### Failures\n\n| path | outcome | reason | detail |\n| --- | --- | --- | --- |\n" + rows_;
  }
  if (warnings_ + end.runWarnings.size() != 0) {
    text += "\n### Warnings\n\n| path | warning | detail |\n| --- | --- | --- |\n" + warningRows_;
    for (const gate::Warning& w : end.runWarnings) {
      text += "| " + MarkdownText(s.config) + " | " + MarkdownText(w.code) + " | " + MarkdownText(w.detail) + " |\n";
    }
  }
  if (waived_ != 0) {
    text += "\n### Waived\n\n| path | code | waiver |\n| --- | --- | --- |\n" + waivedRows_;
  }
  if (signed_ != 0) {
    text += "\n### Signatures\n\n| path | program | signature |\n| --- | --- | --- |\n" + signedRows_;
  }
  const std::size_t unlisted = failures_ + warnings_ + waived_ + signed_ - listed_;
  if (unlisted != 0) {
    text += "\nand " + GroupDigits(unlisted) +
            " more failures, warnings, waivers and signatures than this page holds: the JSON Lines report lists them all.\n";
  }
  return text + "\n";
}

}  // namespace packprobe::report
