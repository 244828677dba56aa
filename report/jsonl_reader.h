// The one reader of JSON Lines reports, for merge and diff: strict (every
// field's type, every record against its header and the closing record
// against the records), streaming (a line at a time, each bounded), and
// giving each record back as its check found it, so that it can be judged
// again.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

#include "gate/judgement.h"
#include "report/json_value.h"
#include "report/report.h"

namespace packprobe::report {

// What a report's closing record says.
struct ReportClosing {
  gate::Totals totals;
  int exitCode = 0;
  std::optional<gate::Shard> shard;
  gate::FoundPaths found;
  std::size_t excluded = 0;
  double elapsedMs = 0;
};

class ReportReader {
 public:
  // A line longer than this is no line of a report.
  static constexpr std::size_t kMaxLine = std::size_t{1} << 20;

  // Reads from stream, which the caller opens and closes; name is how
  // messages call it ("shard-0.jsonl").
  ReportReader(std::string name, std::FILE* stream);

  // True when the stream holds nothing more (after a closing record, before
  // another report's header, for inputs that join several).
  bool AtEnd();

  // Reads a report's header line. False with why in error (naming the file
  // and line).
  bool ReadHeader(RunHeader& header, std::string& error);

  enum class Next { kRecord, kClosed, kFailed };
  // The next record as its check found it (gate::ForgetJudgement), skipping
  // the manifest's absent entries, which the judgement makes again; kClosed
  // after the closing record, once it agrees with the records read; kFailed
  // with why in error for a line that is not a record of this report, or a
  // record that contradicts itself, its header or the order of records.
  Next ReadRecord(gate::ScanRecord& record, std::string& error);

  // The closing record, after ReadRecord gave kClosed.
  const ReportClosing& closing() const { return closing_; }

 private:
  bool ReadLine(std::string& line, std::string& error);
  std::string Where() const;
  bool CheckRecord(const gate::ScanRecord& record, std::string& error);
  bool ReadClosing(const JsonValue& json, std::string& error);

  std::string name_;
  std::FILE* stream_;
  std::size_t line_ = 0;
  std::optional<int> peeked_;  // a byte read by AtEnd

  RunHeader header_;
  bool inReport_ = false;
  std::string lastPath_;     // of the last record, for the order
  bool sawRecord_ = false;
  bool sawAbsent_ = false;
  gate::Totals tally_;       // of the records as the report judged them
  ReportClosing closing_;
};

// Reads a whole report's header, or why not, from its first line alone:
// what diff uses to tell a report from a manifest.
bool LooksLikeReport(std::string_view firstLine);

}  // namespace packprobe::report
