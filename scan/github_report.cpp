#include "scan/github_report.h"

#include <cstdio>

#include "component/version_number.h"
#include "scan/shown_text.h"
#include "util/text.h"

namespace packprobe::scan {
namespace {

constexpr Outcome kOutcomes[] = {Outcome::kPassed,          Outcome::kFiltered,
                                 Outcome::kStubOutOfRange,  Outcome::kSetupOutOfRange,
                                 Outcome::kBothOutOfRange,  Outcome::kMissing,
                                 Outcome::kInvalid,         Outcome::kSystemError};

// GitHub shows at most 1 MiB of a step's summary; the failures listed stop
// well before, and the rest is counted.
constexpr std::size_t kMaxSummaryRows = 1000;
constexpr std::size_t kMaxSummaryRowBytes = 512 * 1024;

bool IsFailure(Outcome outcome) {
  return outcome != Outcome::kPassed && outcome != Outcome::kFiltered;
}

std::string Display(int value) { return Utf16ToUtf8(FormatVersionNumber(value)); }

// What a failed component is, for the annotation's title and text: the
// reason, or for a version out of range which versions and ranges.
std::pair<std::string, std::string> Failure(const ScanRecord& r) {
  if (r.reason) return {r.reason->code, r.reason->detail};
  return {std::string(OutcomeName(r.outcome)), r.rangeDetail.empty() ? r.verdictMessage : r.rangeDetail};
}

class GithubReport : public Report {
 public:
  explicit GithubReport(std::FILE* out) : Report(out) {}
  void Add(const ScanRecord& r) override {
    const std::string file = GithubProperty(ShownPath(r.path));
    std::string text;
    if (IsFailure(r.outcome)) {
      const auto [code, detail] = Failure(r);
      text += "::error file=" + file + ",title=" + GithubProperty(code) + "::" + GithubData(detail) + "\n";
    }
    for (const Warning& w : r.warnings) {
      text += "::warning file=" + file + ",title=" + GithubProperty(w.code) + "::" + GithubData(w.detail) + "\n";
    }
    Write(text);
  }
  void End(const ScanSummary& summary) override { Write(SummaryLine(summary) + "\n"); }
};

// Text for a Markdown table cell: control characters as C escapes, and
// every character that Markdown or HTML could read as markup there as a
// numeric character reference, so that a name can neither end the cell or
// the row nor format, link or hide anything.
std::string Cell(std::string_view raw) {
  std::string out;
  for (const char c : ValidUtf8(raw)) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\n': out += "&#92;n"; continue;
      case '\r': out += "&#92;r"; continue;
      case '\t': out += "&#92;t"; continue;
      default: break;
    }
    if (u < 0x20 || u == 0x7F) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "&#92;x%02x", u);
      out += hex;
    } else if (std::string_view("&<>\\`*_[]|~$:.").find(c) != std::string_view::npos) {
      // Markup inside a cell: emphasis, code, links and images (which need
      // "["), HTML, cell ends, strike-through, maths; ":" and "." keep GFM
      // from linking "http://..." and "www.x".
      out += "&#" + std::to_string(u) + ";";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string GithubData(std::string_view text) {
  std::string out;
  for (const char c : ValidUtf8(text)) {
    switch (c) {
      case '%': out += "%25"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      default: out += c;
    }
  }
  return out;
}

std::string GithubProperty(std::string_view text) {
  std::string out;
  for (const char c : GithubData(text)) {
    switch (c) {
      case ':': out += "%3A"; break;
      case ',': out += "%2C"; break;
      default: out += c;
    }
  }
  return out;
}

std::unique_ptr<Report> MakeGithubReport(std::FILE* out) {
  return std::make_unique<GithubReport>(out);
}

std::string RangeText(const char* name, int min, int max) {
  return std::string(name) + " " + Display(min) + " to " + Display(max);
}

void MarkdownSummary::Add(const ScanRecord& r) {
  for (std::size_t i = 0; i < std::size(kOutcomes); ++i) {
    if (kOutcomes[i] == r.outcome) ++counts_[i];
  }
  if (!IsFailure(r.outcome)) return;
  ++failures_;
  if (listed_ >= kMaxSummaryRows || rows_.size() >= kMaxSummaryRowBytes) return;
  ++listed_;
  const auto [code, detail] = Failure(r);
  rows_ += "| " + Cell(ShownPath(r.path)) + " | " + Cell(OutcomeName(r.outcome)) + " | " + Cell(code) + " | " +
           Cell(detail) + " |\n";
}

std::string MarkdownSummary::Text(const ScanSummary& summary) const {
  std::string text = "## packprobe-scan: ";
  if (summary.total == 0) {
    text += "no component was checked\n\n";
  } else if (failures_ == 0) {
    text += "every one of " + GroupDigits(summary.total) + " components passed\n\n";
  } else {
    text += GroupDigits(failures_) + " of " + GroupDigits(summary.total) + " components failed\n\n";
  }
  text += "| outcome | components |\n| --- | ---: |\n";
  for (std::size_t i = 0; i < std::size(kOutcomes); ++i) {
    text += "| " + Cell(OutcomeName(kOutcomes[i])) + " | " + GroupDigits(counts_[i]) + " |\n";
  }
  const CheckCriteria& c = options_.criteria;
  text += "\nRanges: " + Cell(RangeText("VEKStub", c.stubMin, c.stubMax)) + "; " +
          Cell(RangeText("VEKSetup", c.setupMin, c.setupMax));
  if (c.firmwareOnly) text += "; firmware only";
  if (c.softwareOnly) text += "; software only";
  text += ".\n";
  const auto list = [](const std::vector<std::string>& codes) {
    std::string joined;
    for (const std::string& code : codes) joined += (joined.empty() ? "" : ", ") + Cell(code);
    return joined;
  };
  if (options_.strict) {
    text += "\nPolicy: every warning fails its component";
  } else if (!options_.errorOn.empty()) {
    text += "\nPolicy: these warnings fail their component: " + list(options_.errorOn);
  } else {
    text += "\nPolicy: warnings fail no component";
  }
  if (!options_.ignore.empty()) text += "; ignored: " + list(options_.ignore);
  if (!options_.exclude.empty()) text += "; paths excluded: " + list(options_.exclude);
  text += ".\n";
  if (failures_ != 0) {
    text += "\n### Failures\n\n| path | outcome | reason | detail |\n| --- | --- | --- | --- |\n" + rows_;
    if (listed_ < failures_) {
      text += "\nand " + GroupDigits(failures_ - listed_) + " more failures: see the report.\n";
    }
  }
  return text + "\n";
}

}  // namespace packprobe::scan
