// The text report for people: a row per component, failures first as they
// are found, the rest after them, then the summary line.
#include "report/report.h"
#include "report/spool.h"
#include "util/shown_text.h"

namespace packprobe::report {
namespace {

std::string Row(const std::string& outcome, const std::string& exit, const std::string& stub,
                const std::string& setup, const std::string& type, const std::string& path) {
  char text[96];
  std::snprintf(text, sizeof text, "%-18s %4s  %-8s %-8s %-8s  ", outcome.c_str(), exit.c_str(),
                stub.c_str(), setup.c_str(), type.c_str());
  return text + path + "\n";
}

// The outcome word in its colour.
std::string Colored(const std::string& row, gate::Outcome outcome) {
  const std::size_t end = row.find(' ');
  const char* color = nullptr;
  switch (gate::RowOf(outcome).color) {
    case gate::OutcomeColor::kGreen: color = "\x1b[32m"; break;
    case gate::OutcomeColor::kYellow: color = "\x1b[33m"; break;
    case gate::OutcomeColor::kRed: color = "\x1b[31m"; break;
    case gate::OutcomeColor::kNone: break;
  }
  if (color == nullptr || end == row.npos) return row;
  return color + row.substr(0, end) + "\x1b[0m" + row.substr(end);
}

class TextReport : public Report {
 public:
  TextReport(const ReportStyle& style, std::FILE* out) : Report(out), style_(style) {}
  void Begin(const RunHeader&) override {
    if (!style_.quiet) Write(Row("OUTCOME", "EXIT", "VEKSTUB", "VEKSETUP", "TYPE", "PATH"));
  }
  void Add(const ScanRecord& r) override {
    std::string text = Row(std::string(gate::OutcomeName(r.outcome)), std::to_string(r.exitCode),
                           EscapeControls(r.stub.display.value_or("-")),
                           EscapeControls(r.setup.display.value_or("none")),
                           EscapeControls(r.type.value_or("-")), ShownPath(r.path));
    if (style_.color) text = Colored(text, r.outcome);
    // Details quote package strings: their control characters are escaped,
    // so that no string adds a line or reaches the terminal.
    if (r.reason) {
      text += "    reason: " + EscapeControls(r.reason->code) + " (" + EscapeControls(r.reason->step) +
              "): " + EscapeControls(r.reason->detail) + "\n";
    } else if (!r.rangeDetail.empty()) {
      text += "    range: " + EscapeControls(r.rangeDetail) + "\n";
    }
    if (r.waived) text += "    " + EscapeControls(WaivedText(*r.waived)) + "\n";
    for (const gate::Warning& w : r.warnings) {
      if (w.ignored) continue;
      text += "    warning: " + EscapeControls(w.code) + ": " + EscapeControls(w.detail) +
              (w.waived.empty() ? "" : " (waived: " + EscapeControls(w.waived) + ")") + "\n";
    }
    if (r.sha256) text += "    sha256: " + *r.sha256 + "  " + GroupDigits(r.size.value_or(0)) + " bytes\n";
    // Signed files say who signed them; most files are not signed.
    for (const auto& [label, signature] : {std::pair{"signature", &r.signature},
                                           std::pair{"setup signature", &r.setupSignature}}) {
      if (*signature && (*signature)->state != crypto::SignatureState::kUnsigned) {
        text += std::string("    ") + label + ": " + EscapeControls(SignatureText(**signature)) + "\n";
      }
    }
    // Failures come first, as they are found; the rest follows them.
    if (gate::IsFailure(r.outcome)) {
      Write(text);
    } else if (!style_.quiet) {
      ++heldRows_;
      if (!held_.Append(text)) Fail(held_.error());
    }
  }
  void End(const RunEnd& end) override {
    // In GitHub's log the components that passed fold away; failures stay
    // in view above them.
    const std::size_t folded = heldRows_;
    const bool group = style_.github.actions && folded != 0;
    if (group) {
      Write("::group::" + GroupDigits(folded) + (folded == 1 ? " component" : " components") +
            " passed or filtered out\n");
    }
    if (!held_.Drain([&](std::string_view piece) { Write(piece); })) {
      Fail(held_.error());
      return;
    }
    if (group) Write("::endgroup::\n");
    Write("\n");
    for (const gate::Warning& w : end.runWarnings) {
      Write("warning: " + EscapeControls(w.code) + ": " + EscapeControls(w.detail) + "\n");
    }
    Write(SummaryLine(end) + "\n");
  }

 private:
  ReportStyle style_;
  Spool held_;
  std::size_t heldRows_ = 0;  // the rows held
};

}  // namespace

std::unique_ptr<Report> MakeTextReport(const ReportStyle& style, std::FILE* out) {
  return std::make_unique<TextReport>(style, out);
}

}  // namespace packprobe::report
