#include "scan/report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace packprobe::scan {
namespace {

std::string TextReport(const ScanRecord& record) {
  ScanOptions options;
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  {
    const auto report = MakeReport(options, out);
    ScanSummary summary;
    summary.Count(record);
    report->Begin();
    report->Add(record);
    report->End(summary);
    report->Flush();
  }
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

// Found by the report fuzz target: no field of a record, not even a code,
// can add a line to the text report or reach the terminal.
TEST(ReportTest, TextEscapesEveryFieldOfARecord) {
  ScanRecord record;
  record.path = "C";
  record.outcome = Outcome::kInvalid;
  record.stub.display = "3.0\n";
  record.type = "\x1b[2K";
  record.reason = Reason{"d\r\n", "step\n", "d\r\n", {}, 0};
  record.warnings.push_back({"w\n", "x\ny"});
  EXPECT_EQ(TextReport(record),
            "OUTCOME            EXIT  VEKSTUB  VEKSETUP TYPE      PATH\n"
            "invalid               0  3.0\\n    none     \\x1b[2K   C\n"
            "    reason: d\\r\\n (step\\n): d\\r\\n\n"
            "    warning: w\\n: x\\ny\n"
            "\n"
            "1 component: 0 passed, 1 invalid, 1 warning, in 0.0 s\n");
}

}  // namespace
}  // namespace packprobe::scan
