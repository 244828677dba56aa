#include "report/report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/scratch_dir.h"

namespace packprobe::report {
namespace {

std::string TextReport(const ScanRecord& record) {
  std::FILE* out = std::tmpfile();
  if (out == nullptr) return {};
  {
    const auto report = MakeReport(Format::kText, {}, out);
    RunEnd end;
    end.totals.Count(record);
    report->Begin({});
    report->Add(record);
    report->End(end);
    report->Flush();
  }
  const std::string text = testsupport::ReadStream(out);
  std::fclose(out);
  return text;
}

// Found by the report fuzz target: no field of a record, not even a code,
// can add a line to the text report or reach the terminal.
TEST(ReportTest, TextEscapesEveryFieldOfARecord) {
  ScanRecord record;
  record.path = "C";
  record.outcome = gate::Outcome::kInvalid;
  record.stub.display = "3.0\n";
  record.type = "\x1b[2K";
  record.reason = gate::Reason{"d\r\n", "step\n", "d\r\n", {}, 0};
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
}  // namespace packprobe::report
