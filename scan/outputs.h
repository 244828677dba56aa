// The outputs of a run beyond its main report: more reports in other
// formats (--also FORMAT:FILE, each whole or not kept, as -o) and the
// Markdown summary (--summary), so that one run gives the log, the
// annotations and the artifact.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/report_file.h"
#include "scan/github_report.h"
#include "scan/report.h"
#include "scan/scan_options.h"

namespace packprobe::scan {

class ExtraOutputs {
 public:
  explicit ExtraOutputs(const ScanOptions& options) : options_(options) {}
  // Opens every --also file; false with the message in error when one
  // cannot be opened.
  bool Open(std::string& error);
  void Begin();
  void Add(const ScanRecord& record);
  void End(const ScanSummary& summary);
  // Puts every file in place and appends the summary; false with the
  // message in error when any of them could not be written.
  bool Finish(std::string& error);

 private:
  struct Extra {
    std::string name;
    std::unique_ptr<platform::ReplacingOutput> file;
    std::unique_ptr<Report> report;
  };
  const ScanOptions& options_;
  std::vector<Extra> extras_;
  std::optional<MarkdownSummary> summary_;
  std::string summaryText_;
};

// The usage error when two outputs name one file, or an empty text.
std::string CheckDistinctOutputs(const ScanOptions& options);

}  // namespace packprobe::scan
