// The JUnit XML report for test reporters: one test case per component;
// failures for versions out of range and differences from the manifest,
// errors for components that could not be checked, skipped for filtered.
#include <cstdio>

#include "report/escape.h"
#include "report/report.h"
#include "report/spool.h"
#include "util/shown_text.h"

namespace packprobe::report {
namespace {

// Seconds to the microsecond: checks take less than a millisecond.
std::string Seconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", ms / 1000);
  return text;
}

// The folder of a path, shown as paths are, which test reporters group test
// cases by; "." for a file named without one.
std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return ShownPath(slash == 0 ? "/" : path.substr(0, slash));
}

std::string Details(const ScanRecord& r) {
  std::string text = std::string(gate::OutcomeName(r.outcome)) + ", exit code " +
                     std::to_string(r.exitCode) + "; VEKStub " + r.stub.display.value_or("-") +
                     ", VEKSetup " + r.setup.display.value_or("none");
  if (r.size) text += "; size " + std::to_string(*r.size);
  if (r.sha256) text += ", sha256 " + *r.sha256;
  if (r.reason) text += "\n" + r.reason->code + " (" + r.reason->step + "): " + r.reason->detail;
  if (!r.rangeDetail.empty()) text += "\n" + r.rangeDetail;
  if (r.waived) {
    text += '\n';
    text += WaivedText(*r.waived);
  }
  // Appended piece by piece: GCC 12 warns -Wrestrict, wrongly, about
  // "literal" + std::string at -O2.
  for (const auto& [label, signature] : {std::pair{"\nsignature: ", &r.signature},
                                         std::pair{"\nsetup signature: ", &r.setupSignature}}) {
    if (!*signature) continue;
    text += label;
    text += SignatureText(**signature);
  }
  for (const gate::Warning& w : r.warnings) {
    if (!w.ignored) text += "\nwarning " + w.code + ": " + w.detail + (w.waived.empty() ? "" : " (waived: " + w.waived + ")");
  }
  return text;
}

class JunitReport : public Report {
 public:
  explicit JunitReport(std::FILE* out) : Report(out) {}
  void Add(const ScanRecord& r) override {
    const std::string shown = ShownPath(r.path);
    std::string xml = "    <testcase classname=\"" + XmlAttribute(Folder(r.path)) + "\" name=\"" + XmlAttribute(shown) +
                      "\" time=\"" + Seconds(r.elapsedMs) + "\">\n";
    const std::string outcome(gate::OutcomeName(r.outcome));
    const auto [code, detail] = FailureText(r);
    // A waived failure fails no test run: it is skipped, and says why.
    switch (r.waived ? gate::JunitElement::kSkipped : gate::RowOf(r.outcome).junit) {
      case gate::JunitElement::kNone: break;
      case gate::JunitElement::kSkipped:
        xml += "      <skipped message=\"" + XmlAttribute(r.waived ? WaivedText(*r.waived) : r.verdictMessage) + "\"/>\n";
        break;
      case gate::JunitElement::kFailure:
        xml += "      <failure message=\"" + XmlAttribute(detail) + "\" type=\"" + XmlAttribute(outcome) +
               "\">" + XmlText(Details(r)) + "</failure>\n";
        break;
      case gate::JunitElement::kError:
        xml += "      <error message=\"" + XmlAttribute(detail) + "\" type=\"" + XmlAttribute(code) + "\">" +
               XmlText(Details(r)) + "</error>\n";
        break;
    }
    if (r.waived) ++waivedRecords_;
    xml += "      <system-out>" + XmlText(Details(r)) + "</system-out>\n";
    xml += "    </testcase>\n";
    if (!spool_.Append(xml)) Fail(spool_.error());
  }
  void End(const RunEnd& end) override {
    const gate::Totals& t = end.totals;
    std::size_t failures = 0, errors = 0;
    for (const gate::OutcomeRow& row : gate::kOutcomes) {
      if (row.junit == gate::JunitElement::kFailure) failures += t.Of(row.outcome);
      if (row.junit == gate::JunitElement::kError) errors += t.Of(row.outcome);
    }
    const std::string counts = "tests=\"" + std::to_string(t.total) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"" + std::to_string(errors) +
                               "\" skipped=\"" + std::to_string(t.OfClass(gate::OutcomeClass::kSkipped) + waivedRecords_) +
                               "\" time=\"" + Seconds(end.seconds * 1000) + "\"";
    Write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    Write("<testsuites name=\"packprobe-scan\" " + counts + ">\n");
    Write("  <testsuite name=\"packprobe-scan\" " + counts + ">\n");
    if (!spool_.Drain([&](std::string_view piece) { Write(piece); })) {
      Fail(spool_.error());
      return;
    }
    Write("  </testsuite>\n</testsuites>\n");
  }

 private:
  Spool spool_;
  std::size_t waivedRecords_ = 0;
};

}  // namespace

std::unique_ptr<Report> MakeJunitReport(std::FILE* out) { return std::make_unique<JunitReport>(out); }

}  // namespace packprobe::report
