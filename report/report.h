// The reports of a run: text, JSON Lines, CSV, JUnit XML and GitHub
// annotations, each written record by record as the records come.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gate/judgement.h"
#include "gate/record.h"
#include "gate/run_settings.h"
#include "report/format.h"

namespace packprobe::report {

using gate::ScanRecord;

// What a report says of its run before the first record.
struct RunHeader {
  gate::RunSettings settings;
  // The folder that absent manifest entries are placed in (the first folder
  // named); empty when none was named.
  std::string folder;
  // The SHA-256 of the manifest checked against, as read; empty: none.
  std::string manifestSha256;
  // The day the run began, "YYYY-MM-DD" (UTC): the day waivers are judged on.
  std::string date;
  bool operator==(const RunHeader&) const = default;
};

// What a report says of its run after the last record.
struct RunEnd {
  gate::Totals totals;
  int exitCode = 0;        // the run's, as it ends when its reports are whole
  gate::FoundPaths found;  // before the run was split into shares
  double seconds = 0;      // the run's wall time
  std::vector<gate::Warning> runWarnings;  // of the run itself (waivers that waived nothing)
  std::size_t excluded = 0;  // paths the exclude patterns left out, before sharding
};

// Where GitHub Actions shows a run, as its environment tells.
struct GithubView {
  // The checkout's folder (GITHUB_WORKSPACE), absolute, "/" between its
  // parts: annotations name files relative to it, so that GitHub links
  // them. Empty: paths as they are.
  std::string workspace;
  // The folder paths are relative to (the current one), absolute.
  std::string currentFolder;
  // Inside a run of GitHub Actions (GITHUB_ACTIONS=true): the text report
  // folds the components that passed into a group of the log.
  bool actions = false;
};

// How a report looks beyond its format.
struct ReportStyle {
  bool quiet = false;  // text: no column header, only failures and the summary
  bool color = false;  // text: outcome words in colour
  GithubView github;
  // GitHub shows this many error and this many warning annotations of a
  // step; the rest are counted in one notice.
  std::size_t annotations = 10;
};

// The path of a record as GitHub names files of the checkout: relative to
// the workspace when it lies below it, else as shown.
std::string GithubFile(const std::string& path, const GithubView& view);

// Writes one report to a stream, record by record, as the records come.
class Report {
 public:
  virtual ~Report() = default;
  virtual void Begin(const RunHeader&) {}
  virtual void Add(const ScanRecord& record) = 0;
  virtual void End(const RunEnd& end) = 0;
  // False once anything could not be written or held back; the report is
  // then not whole, and error() says why.
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  // Passes what is written on to the system, so that a failing output (a
  // closed pipe, a full disk) shows at once; false when the report failed.
  bool Flush();

 protected:
  explicit Report(std::FILE* out) : out_(out) {}
  // Writes nothing more once the report failed.
  void Write(std::string_view bytes);
  void Fail(std::string error);
  std::FILE* out_;

 private:
  bool ok_ = true;
  std::string error_;
};

// The report of a format (one a scan writes) on out, which the caller opens
// and closes.
std::unique_ptr<Report> MakeReport(Format format, const ReportStyle& style, std::FILE* out);

// "1,204": a count with commas between groups of three digits.
std::string GroupDigits(std::size_t value);

// "1,204 components: 1,180 passed, 20 failed, 4 invalid, 3 warnings, in 3.2 s"
std::string SummaryLine(const RunEnd& end);

// The line of the ranges a run used: "VEKStub 3.0.0.0 to 3.0.3.0".
std::string RangeText(const char* name, int min, int max);

// "waived until 2027-06-30: the vendor ships 2.9 until June": how reports
// say a failure or warning is waived.
std::string WaivedText(const gate::Waived& waived);

// A program file's signatures in one line: "valid: CN=Kit Maker (SHA-256
// 9f86...) with sha256, timestamp 2015-06-01T00:00:00Z, chain verified";
// its state and problem when it does not hold; nested ones after "; nested: ".
std::string SignatureText(const gate::SignatureReport& report);

// The pieces of the first signature that CSV gives columns of: who signed
// (subject and fingerprint) and when; empty when the file names none.
struct SignerColumns {
  std::string subject, fingerprint, signingTime;
};
SignerColumns SignerOf(const gate::SignatureReport& report);

// The record's failure in a title and a sentence: the reason's code and
// detail, or for a version out of range the outcome and which versions and
// ranges. Meant for failures.
std::pair<std::string, std::string> FailureText(const ScanRecord& record);

// Each writer, for MakeReport.
std::unique_ptr<Report> MakeTextReport(const ReportStyle& style, std::FILE* out);
std::unique_ptr<Report> MakeJsonLinesReport(std::FILE* out);
std::unique_ptr<Report> MakeCsvReport(std::FILE* out);
std::unique_ptr<Report> MakeJunitReport(std::FILE* out);
std::unique_ptr<Report> MakeGithubReport(const ReportStyle& style, std::FILE* out);

}  // namespace packprobe::report
