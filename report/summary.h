// The Markdown summary of a run for the job's page (GitHub's step summary):
// counts per outcome, every failure with its reason and every warning, who
// signed what, the ranges, the policy and the configuration used. It reads well raw too.
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
  std::size_t warnings_ = 0;
  std::size_t waived_ = 0;
  std::size_t signed_ = 0;  // signed program files
  std::size_t listed_ = 0;  // rows of the tables
  std::string rows_;         // the failures
  std::string warningRows_;  // the warnings
  std::string waivedRows_;   // what was waived
  std::string signedRows_;   // who signed what
};

}  // namespace packprobe::report
