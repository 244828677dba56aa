// The outputs of a run beyond its main report: more reports in other
// formats (--also FORMAT:FILE) and the Markdown summary (--summary), so
// that one run gives the log, the annotations and the artifact.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scan/github_report.h"
#include "scan/report.h"
#include "scan/scan_options.h"

namespace packprobe::scan {

// A report file written beside its target under a temporary name and
// renamed onto it by Commit, so that the named file is whole or untouched.
// The temporary file goes when the object does, unless committed.
class ReportFile {
 public:
  ReportFile() = default;
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  // Opens the temporary file beside target; false when it cannot be made.
  bool Open(const std::filesystem::path& target);
  std::FILE* stream() const { return stream_; }
  // Closes the file and renames it onto the target; false when either fails
  // (the temporary file is then removed).
  bool Commit();

 private:
  void Discard();
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  std::FILE* stream_ = nullptr;
};

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
    std::unique_ptr<ReportFile> file;
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
