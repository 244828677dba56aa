// The report formats of a scan: text, JSON Lines, CSV and JUnit XML.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "scan/scan_options.h"
#include "scan/scan_record.h"

namespace packprobe::scan {

// The version of the JSON Lines schema; it changes when a field changes
// meaning or goes away (adding fields keeps it).
inline constexpr const char* kJsonSchema = "packprobe-scan/1";

struct ScanSummary {
  std::size_t total = 0;
  std::size_t passed = 0;
  std::size_t filtered = 0;
  std::size_t outOfRange = 0;
  std::size_t manifestDiffers = 0;  // version-changed, ..., absent
  std::size_t missing = 0;
  std::size_t invalid = 0;
  std::size_t systemError = 0;
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
  // False when anything could not be written.
  bool ok() const { return ok_; }

 protected:
  explicit Report(std::FILE* out) : out_(out) {}
  void Write(std::string_view bytes);
  std::FILE* out_;
  bool ok_ = true;
};

// The report of options.format on out, which the caller opens and closes.
std::unique_ptr<Report> MakeReport(const ScanOptions& options, std::FILE* out);

// "1,204": a count with commas between groups of three digits.
std::string GroupDigits(std::size_t value);

// "1,204 components: 1,180 passed, 20 failed, 4 invalid, in 3.2 s"
std::string SummaryLine(const ScanSummary& summary);

}  // namespace packprobe::scan
