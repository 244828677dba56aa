// The Markdown summary of a run for the job's page (GitHub's step summary):
// counts per outcome, the failures with their reasons, the ranges and the
// policy used. It reads well raw too.
#pragma once

#include <array>
#include <string>

#include "report/report.h"

namespace packprobe::report {

class MarkdownSummary {
 public:
  // GitHub shows at most 1 MiB of a step's summary: the failures listed
  // stop well before, and the rest is counted.
  static constexpr std::size_t kMaxRows = 1000;
  static constexpr std::size_t kMaxRowBytes = 512 * 1024;

  void Begin(const RunHeader& header) { header_ = header; }
  void Add(const ScanRecord& record);
  // The whole summary, after the last record.
  std::string Text(const RunEnd& end) const;

 private:
  RunHeader header_;
  std::size_t failures_ = 0;
  std::size_t listed_ = 0;
  std::string rows_;
};

}  // namespace packprobe::report
