// Where a subcommand's results go, one way for scan, merge, diff and
// snapshot: the main output (standard output, or -o written to a temporary
// file beside it and renamed into place when whole), more files in other
// formats (--also, each whole or not kept), and a Markdown summary appended
// to a file (--summary). Any of them that cannot be written ends the run
// with exit code 74 and a message.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/report_file.h"
#include "platform/stdio_file.h"
#include "report/format.h"

namespace packprobe::scan {

// The usage error when two outputs name one file (however they are
// written), or an empty text.
std::string CheckDistinctOutputs(const std::string& output,
                                 const std::vector<std::pair<report::Format, std::string>>& also,
                                 const std::string& summary);

class OutputFiles {
 public:
  // program names the subcommand in messages ("packprobe-scan merge").
  explicit OutputFiles(std::string program) : program_(std::move(program)) {}

  // Opens the main output: standard output when path is empty, else the
  // file, replaced when whole. hold: what goes to standard output is held
  // (in memory, then in an unnamed temporary file) until Commit, so that a
  // run that fails part-way prints nothing. False after saying why.
  bool OpenMain(const std::string& path, bool hold = false);
  std::FILE* main() const { return main_; }

  // Opens one more output, replaced when whole; null after saying why.
  std::FILE* OpenExtra(const std::string& path);

  // The file the summary is appended to at Commit; empty: none.
  void SetSummary(std::string path) { summary_ = std::move(path); }

  // Puts every output in place and appends the summary text. False after
  // saying why (what was not whole is not kept).
  bool Commit(const std::string& summaryText = {});

  // Says why the main output failed: "<program>: <why>; the report is not
  // whole [and was not kept]".
  void SayNotWhole(const std::string& why) const;
  void Say(const std::string& message) const;

 private:
  struct Extra {
    std::string path;
    std::unique_ptr<platform::ReplacingOutput> file;
  };
  std::string program_;
  std::string mainPath_;
  std::FILE* main_ = stdout;
  platform::ReplacingOutput mainFile_;
  platform::StdioFile held_;
  std::vector<Extra> extras_;
  std::string summary_;
};

}  // namespace packprobe::scan
