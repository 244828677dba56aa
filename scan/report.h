// The report formats of a scan: text, JSON Lines, CSV and JUnit XML.
#pragma once

#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include "scan/scan_options.h"
#include "scan/scan_record.h"

namespace packprobe::scan {

// The version of the JSON Lines schema; it changes when a field changes
// meaning or goes away (adding fields keeps it).
inline constexpr const char* kJsonSchema = "packprobe-scan/2";

struct ScanSummary {
  std::size_t total = 0;
  std::size_t passed = 0;
  std::size_t filtered = 0;
  std::size_t outOfRange = 0;  // the three out-of-range outcomes together
  std::size_t missing = 0;
  std::size_t invalid = 0;
  std::size_t systemError = 0;
  // The records of each outcome, indexed by Outcome.
  std::array<std::size_t, kOutcomeCount> counts{};
  std::size_t warnings = 0;  // over all records
  // The scan's exit code, as the program ends with it if the report is
  // written whole; set before End.
  int exitCode = 0;
  double seconds = 0;

  void Count(const ScanRecord& record);
};

// Writes one report to a stream, record by record, as the records come.
class Report {
 public:
  virtual ~Report() = default;
  virtual void Begin() {}
  virtual void Add(const ScanRecord& record) = 0;
  virtual void End(const ScanSummary& summary) = 0;
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

// The report of options.format on out, which the caller opens and closes.
std::unique_ptr<Report> MakeReport(const ScanOptions& options, std::FILE* out);
// The report of another format with the same options; color: the text
// report colours its outcomes.
std::unique_ptr<Report> MakeReport(Format format, const ScanOptions& options, std::FILE* out,
                                   bool color = false);

// "1,204": a count with commas between groups of three digits.
std::string GroupDigits(std::size_t value);

// "1,204 components: 1,180 passed, 20 failed, 4 invalid, 3 warnings, in 3.2 s"
std::string SummaryLine(const ScanSummary& summary);

}  // namespace packprobe::scan
