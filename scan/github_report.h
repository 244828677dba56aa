// What GitHub Actions shows: workflow-command annotations on the log and a
// Markdown summary for the job's page.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "scan/report.h"
#include "scan/scan_options.h"

namespace packprobe::scan {

// Text as the message of a workflow command: "%", CR and LF escaped.
std::string GithubData(std::string_view text);
// Text as a property value of a workflow command: also ":" and ",".
std::string GithubProperty(std::string_view text);

// The report as annotations: "::error file=PATH,title=CODE::DETAIL" per
// failed component, "::warning ..." per warning, then the summary line.
std::unique_ptr<Report> MakeGithubReport(std::FILE* out);

// The Markdown summary: counts per outcome, the failures with their
// reasons (the first ones, up to a size GitHub shows), the ranges and
// policy used. Kept in memory and written whole by Finish.
class MarkdownSummary {
 public:
  explicit MarkdownSummary(const ScanOptions& options) : options_(options) {}
  void Add(const ScanRecord& record);
  // The whole summary, after the last record.
  std::string Text(const ScanSummary& summary) const;

 private:
  const ScanOptions& options_;
  std::size_t counts_[kOutcomeCount] = {};
  std::size_t failures_ = 0;
  std::size_t listed_ = 0;
  std::string rows_;
};

// A line of the range each bound set: "VEKStub 3.0.0.0 to 3.0.3.0".
std::string RangeText(const char* name, int min, int max);

}  // namespace packprobe::scan
