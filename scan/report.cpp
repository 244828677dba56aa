#include "scan/report.h"

#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <optional>
#include <type_traits>
#include <system_error>

#include "scan/github_report.h"
#include "scan/shown_text.h"
#include "scan/spool.h"
#include "scan/version.h"
#include "util/text.h"

namespace packprobe::scan {
namespace {

bool IsFailure(Outcome outcome) {
  return outcome != Outcome::kPassed && outcome != Outcome::kFiltered;
}

// JSON text is written here as strings, field by field, rather than built
// as a tree of values: destroying such a tree allocates, so running out of
// memory while building one ends the process instead of the report.

// A JSON string: quotes, backslashes and control characters escaped (as
// \b, \t, \n, \f, \r or \u00xx), bytes that are not UTF-8 replaced by
// U+FFFD, everything else as it is.
std::string JsonString(std::string_view raw) {
  const std::string text = ValidUtf8(raw);
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// A number with the fewest digits that read back as the same double, with
// ".0" when it would otherwise read as an integer.
std::string JsonDouble(double value) {
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  std::string out(text, error == std::errc() ? end : text);
  if (out.find_first_of(".eE") == std::string::npos) out += ".0";
  return out;
}

std::string JsonBool(bool value) { return value ? "true" : "false"; }

template <typename T>
std::string JsonValue(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return JsonBool(value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return JsonString(value);
  } else {
    return std::to_string(value);
  }
}

template <typename T>
std::string OrNull(const std::optional<T>& value) {
  return value ? JsonValue(*value) : std::string("null");
}

// One JSON object, its fields written in order.
class JsonObject {
 public:
  JsonObject& Field(std::string_view key, std::string_view json) {
    text_ += text_.size() == 1 ? "" : ",";
    text_ += JsonString(key);
    text_ += ':';
    text_ += json;
    return *this;
  }
  std::string Close() { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

std::string VersionJson(const VersionReport& version, const std::optional<bool>* present = nullptr) {
  JsonObject json;
  json.Field("text", OrNull(version.text))
      .Field("version", OrNull(version.version))
      .Field("display", OrNull(version.display))
      .Field("in_range", OrNull(version.inRange));
  if (present != nullptr) json.Field("present", OrNull(*present));
  return json.Close();
}

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms);
  return text;
}

std::string RecordJson(const ScanRecord& record) {
  JsonObject json;
  // A path that is not shown as it is (not UTF-8, or holding control
  // characters) also comes as its raw bytes, so that it round-trips.
  json.Field("path", JsonString(ShownPath(record.path)))
      .Field("path_bytes", IsPlainPath(record.path) ? "null" : JsonString(Base64(record.path)))
      .Field("file", JsonString(record.file))
      .Field("relative_path", JsonString(record.relativePath))
      .Field("outcome", JsonString(OutcomeName(record.outcome)))
      .Field("exit_code", std::to_string(record.exitCode))
      .Field("status", std::to_string(record.status))
      .Field("stub", VersionJson(record.stub))
      .Field("setup", VersionJson(record.setup, &record.setupPresent))
      .Field("name", JsonString(record.name))
      .Field("category", OrNull(record.category))
      .Field("type", OrNull(record.type))
      .Field("size", OrNull(record.size))
      .Field("sha256", OrNull(record.sha256));
  if (record.reason) {
    JsonObject reason;
    reason.Field("code", JsonString(record.reason->code))
        .Field("step", JsonString(record.reason->step))
        .Field("detail", JsonString(record.reason->detail))
        .Field("subject", record.reason->subject.empty() ? "null" : JsonString(record.reason->subject))
        .Field("layer_result", std::to_string(record.reason->layerResult));
    json.Field("reason", reason.Close());
  } else {
    json.Field("reason", "null");
  }
  std::string warnings = "[";
  for (const Warning& warning : record.warnings) {
    if (warnings.size() > 1) warnings += ',';
    warnings += JsonObject()
                    .Field("code", JsonString(warning.code))
                    .Field("detail", JsonString(warning.detail))
                    .Close();
  }
  json.Field("warnings", warnings + "]");
  json.Field("elapsed_ms", JsonDouble(std::round(record.elapsedMs * 1000) / 1000));
  return json.Close();
}

std::string ShardJson(const ScanOptions& options) {
  if (!options.shard) return "null";
  return JsonString(std::to_string(options.shard->index) + "/" +
                    std::to_string(options.shard->count));
}

std::string JsonStrings(const std::vector<std::string>& values) {
  std::string list = "[";
  for (const std::string& value : values) {
    if (list.size() > 1) list += ',';
    list += JsonString(value);
  }
  return list + "]";
}

std::string OptionsJson(const ScanOptions& options) {
  return JsonObject()
      .Field("paths", JsonStrings(options.paths))
      .Field("files_from", options.filesFrom.empty() ? "null" : JsonString(options.filesFrom))
      .Field("stub_min", std::to_string(options.criteria.stubMin))
      .Field("stub_max", std::to_string(options.criteria.stubMax))
      .Field("setup_min", std::to_string(options.criteria.setupMin))
      .Field("setup_max", std::to_string(options.criteria.setupMax))
      .Field("firmware_only", JsonBool(options.criteria.firmwareOnly))
      .Field("software_only", JsonBool(options.criteria.softwareOnly))
      .Field("strict", JsonBool(options.strict))
      .Field("shard", ShardJson(options))
      .Field("jobs", std::to_string(options.jobs))
      .Field("error_on", JsonStrings(options.errorOn))
      .Field("ignore", JsonStrings(options.ignore))
      .Field("exclude", JsonStrings(options.exclude))
      .Field("null_separated", JsonBool(options.nullSeparated))
      .Field("hash", JsonBool(options.hash || !options.manifest.empty()))
      .Field("manifest", options.manifest.empty() ? "null" : JsonString(options.manifest))
      .Close();
}

// --- jsonl -------------------------------------------------------------------

class JsonLinesReport : public Report {
 public:
  JsonLinesReport(const ScanOptions& options, std::FILE* out) : Report(out), options_(options) {}
  void Begin() override {
    Write(JsonObject()
              .Field("schema", JsonString(kJsonSchema))
              .Field("program", JsonString("packprobe-scan"))
              .Field("version", JsonString(kProjectVersion))
              .Field("options", OptionsJson(options_))
              .Close() +
          "\n");
  }
  void Add(const ScanRecord& record) override { Write(RecordJson(record) + "\n"); }
  // The closing record: a report without it was cut short.
  void End(const ScanSummary& summary) override {
    JsonObject counts;
    for (std::size_t i = 0; i < kOutcomeCount; ++i) {
      counts.Field(OutcomeName(static_cast<Outcome>(i)), std::to_string(summary.counts[i]));
    }
    Write(JsonObject()
              .Field("complete", "true")
              .Field("total", std::to_string(summary.total))
              .Field("counts", counts.Close())
              .Field("warnings", std::to_string(summary.warnings))
              .Field("exit_code", std::to_string(summary.exitCode))
              .Field("shard", ShardJson(options_))
              .Field("elapsed_ms", JsonDouble(std::round(summary.seconds * 1e6) / 1000))
              .Close() +
          "\n");
  }

 private:
  const ScanOptions& options_;
};

// --- csv -------------------------------------------------------------------

// One field of RFC 4180: quoted when it holds a comma, a quote or a line
// break, quotes doubled. Bytes that are not UTF-8 become U+FFFD.
std::string CsvField(std::string_view raw) {
  const std::string text = ValidUtf8(raw);
  if (text.find_first_of(",\"\r\n") == text.npos) return text;
  std::string field = "\"";
  for (const char c : text) {
    if (c == '"') field += '"';
    field += c;
  }
  return field + "\"";
}

template <typename T>
std::string CsvValue(const std::optional<T>& value) {
  if (!value) return "";
  if constexpr (std::is_same_v<T, bool>) {
    return *value ? "true" : "false";
  } else if constexpr (std::is_same_v<T, std::string>) {
    return *value;
  } else {
    return std::to_string(*value);
  }
}

class CsvReport : public Report {
 public:
  explicit CsvReport(std::FILE* out) : Report(out) {}
  void Begin() override {
    Write("path,file,outcome,exit_code,status,stub.text,stub.version,stub.display,stub.in_range,"
          "setup.present,setup.text,setup.version,setup.display,setup.in_range,name,category,type,"
          "reason.code,reason.step,reason.detail,warnings,elapsed_ms,relative_path,size,sha256\r\n");
  }
  void Add(const ScanRecord& r) override {
    std::string warnings;
    for (const Warning& warning : r.warnings) {
      if (!warnings.empty()) warnings += "; ";
      warnings += warning.code + ": " + warning.detail;
    }
    const std::string fields[] = {
        ShownPath(r.path), r.file, std::string(OutcomeName(r.outcome)), std::to_string(r.exitCode),
        std::to_string(r.status), CsvValue(r.stub.text), CsvValue(r.stub.version),
        CsvValue(r.stub.display), CsvValue(r.stub.inRange), CsvValue(r.setupPresent),
        CsvValue(r.setup.text), CsvValue(r.setup.version), CsvValue(r.setup.display),
        CsvValue(r.setup.inRange), r.name, CsvValue(r.category), CsvValue(r.type),
        r.reason ? r.reason->code : "", r.reason ? r.reason->step : "",
        r.reason ? r.reason->detail : "", warnings, Milliseconds(r.elapsedMs), r.relativePath,
        CsvValue(r.size), CsvValue(r.sha256)};
    std::string line;
    for (const std::string& field : fields) {
      if (!line.empty() || &field != &fields[0]) line += ',';
      line += CsvField(field);
    }
    Write(line + "\r\n");
  }
  void End(const ScanSummary&) override {}
};

// --- junit -----------------------------------------------------------------

// Text for XML attributes and content. Bytes that are not UTF-8 and
// characters that XML 1.0 cannot hold (control characters but tab, newline
// and carriage return; U+FFFE and U+FFFF) become U+FFFD. In attributes, tab,
// newline and carriage return are character references, which a parser
// keeps (it turns them into spaces when they stand as they are).
std::string XmlText(std::string_view raw, bool attribute = false) {
  const std::string text = ValidUtf8(raw);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '&': out += "&amp;"; continue;
      case '<': out += "&lt;"; continue;
      case '>': out += "&gt;"; continue;
      case '"': out += "&quot;"; continue;
      case '\'': out += "&apos;"; continue;
      case '\t': out += attribute ? "&#9;" : "\t"; continue;
      case '\n': out += attribute ? "&#10;" : "\n"; continue;
      case '\r': out += "&#13;"; continue;
      default: break;
    }
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20) {
      out += "\xEF\xBF\xBD";
    } else if (u == 0xEF && i + 2 < text.size() && text[i + 1] == '\xBF' &&
               (text[i + 2] == '\xBE' || text[i + 2] == '\xBF')) {
      out += "\xEF\xBF\xBD";  // U+FFFE or U+FFFF
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string XmlAttribute(std::string_view raw) { return XmlText(raw, true); }

std::string Seconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms / 1000);
  return text;
}

class JunitReport : public Report {
 public:
  explicit JunitReport(std::FILE* out) : Report(out) {}
  void Add(const ScanRecord& r) override {
    std::string xml = "    <testcase classname=\"packprobe-scan\" name=\"" + XmlAttribute(ShownPath(r.path)) +
                      "\" time=\"" +
                      Seconds(r.elapsedMs) + "\">\n";
    const std::string outcome(OutcomeName(r.outcome));
    switch (ScanExitCode(r.outcome)) {
      case kScanPassed:
        if (r.outcome == Outcome::kFiltered) {
          xml += "      <skipped message=\"" + XmlAttribute(r.verdictMessage) + "\"/>\n";
        }
        break;
      case kScanDiffers:
        xml += "      <failure message=\"" + XmlText(r.reason ? r.reason->detail : outcome) +
               "\" type=\"" + outcome + "\">" + XmlText(Details(r)) + "</failure>\n";
        break;
      case kScanOutOfRange:
        xml += "      <failure message=\"" + XmlAttribute(r.verdictMessage) + "\" type=\"" + outcome +
               "\">" + XmlText(Details(r)) + "</failure>\n";
        break;
      default:
        xml += "      <error message=\"" + XmlAttribute(r.reason ? r.reason->detail : outcome) +
               "\" type=\"" + XmlAttribute(r.reason ? r.reason->code : outcome) + "\">" +
               XmlText(Details(r)) + "</error>\n";
        break;
    }
    xml += "      <system-out>" + XmlText(Details(r)) + "</system-out>\n";
    xml += "    </testcase>\n";
    if (!spool_.Append(xml)) Fail(spool_.error());
  }
  void End(const ScanSummary& s) override {
    const std::string counts = "tests=\"" + std::to_string(s.total) + "\" failures=\"" +
                               std::to_string(s.outOfRange + s.manifestDiffers) + "\" errors=\"" +
                               std::to_string(s.missing + s.invalid + s.systemError) +
                               "\" skipped=\"" + std::to_string(s.filtered) + "\" time=\"" +
                               Seconds(s.seconds * 1000) + "\"";
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
  static std::string Details(const ScanRecord& r) {
    std::string text = std::string(OutcomeName(r.outcome)) + ", exit code " +
                       std::to_string(r.exitCode) + "; VEKStub " +
                       r.stub.display.value_or("-") + ", VEKSetup " +
                       r.setup.display.value_or("none");
    if (r.size) text += "; size " + std::to_string(*r.size);
    if (r.sha256) text += ", sha256 " + *r.sha256;
    if (r.reason) text += "\n" + r.reason->code + " (" + r.reason->step + "): " + r.reason->detail;
    if (!r.rangeDetail.empty()) text += "\n" + r.rangeDetail;
    for (const Warning& w : r.warnings) text += "\nwarning " + w.code + ": " + w.detail;
    return text;
  }

  Spool spool_;
};

// --- text ------------------------------------------------------------------

class TextReport : public Report {
 public:
  TextReport(const ScanOptions& options, std::FILE* out, bool color)
      : Report(out), quiet_(options.quiet), color_(color) {}
  void Begin() override {
    if (!quiet_) Write(Row("OUTCOME", "EXIT", "VEKSTUB", "VEKSETUP", "TYPE", "PATH"));
  }
  void Add(const ScanRecord& r) override {
    std::string text = Row(std::string(OutcomeName(r.outcome)), std::to_string(r.exitCode),
                           EscapeControls(r.stub.display.value_or("-")),
                           EscapeControls(r.setup.display.value_or("none")),
                           EscapeControls(r.type.value_or("-")), ShownPath(r.path));
    if (color_) text = Colored(text, r.outcome);
    // Details quote package strings: their control characters are escaped,
    // so that no string adds a line or reaches the terminal.
    if (r.reason) {
      text += "    reason: " + EscapeControls(r.reason->code) + " (" +
              EscapeControls(r.reason->step) + "): " + EscapeControls(r.reason->detail) + "\n";
    } else if (!r.rangeDetail.empty()) {
      text += "    range: " + EscapeControls(r.rangeDetail) + "\n";
    }
    for (const Warning& w : r.warnings) {
      text += "    warning: " + EscapeControls(w.code) + ": " + EscapeControls(w.detail) + "\n";
    }
    if (r.sha256) text += "    sha256: " + *r.sha256 + "  " + GroupDigits(r.size.value_or(0)) + " bytes\n";
    // Failures come first, as they are found; the rest follows them.
    if (IsFailure(r.outcome)) {
      Write(text);
    } else if (!quiet_ && !held_.Append(text)) {
      Fail(held_.error());
    }
  }
  void End(const ScanSummary& summary) override {
    if (!held_.Drain([&](std::string_view piece) { Write(piece); })) {
      Fail(held_.error());
      return;
    }
    Write("\n");
    Write(SummaryLine(summary) + "\n");
  }

 private:
  static std::string Row(const std::string& outcome, const std::string& exit,
                         const std::string& stub, const std::string& setup,
                         const std::string& type, const std::string& path) {
    char text[96];
    std::snprintf(text, sizeof text, "%-18s %4s  %-8s %-8s %-8s  ", outcome.c_str(), exit.c_str(),
                  stub.c_str(), setup.c_str(), type.c_str());
    return text + path + "\n";
  }

  // The outcome word in the colour of its kind: green passed, yellow out
  // of range, red failed, none for filtered.
  static std::string Colored(const std::string& row, Outcome outcome) {
    const std::size_t end = row.find(' ');
    const char* color = outcome == Outcome::kPassed     ? "\x1b[32m"
                        : outcome == Outcome::kFiltered ? nullptr
                        : ScanExitCode(outcome) == kScanOutOfRange ? "\x1b[33m"
                                                                   : "\x1b[31m";
    if (color == nullptr || end == row.npos) return row;
    return color + row.substr(0, end) + "\x1b[0m" + row.substr(end);
  }

  bool quiet_;
  bool color_;
  Spool held_;
};

}  // namespace

void Report::Write(std::string_view bytes) {
  if (bytes.empty() || !ok_) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), out_) != bytes.size()) {
    Fail("the report could not be written: " + std::system_category().message(errno));
  }
}

bool Report::Flush() {
  if (ok_ && std::fflush(out_) != 0) {
    Fail("the report could not be written: " + std::system_category().message(errno));
  }
  return ok_;
}

void Report::Fail(std::string error) {
  if (!ok_) return;  // the first failure is the cause
  ok_ = false;
  error_ = std::move(error);
}

void ScanSummary::Count(const ScanRecord& record) {
  ++total;
  ++counts[static_cast<std::size_t>(record.outcome)];
  warnings += record.warnings.size();
  switch (record.outcome) {
    case Outcome::kPassed: ++passed; break;
    case Outcome::kFiltered: ++filtered; break;
    case Outcome::kStubOutOfRange:
    case Outcome::kSetupOutOfRange:
    case Outcome::kBothOutOfRange: ++outOfRange; break;
    case Outcome::kVersionChanged:
    case Outcome::kContentChanged:
    case Outcome::kMetadataChanged:
    case Outcome::kUnexpected:
    case Outcome::kAbsent: ++manifestDiffers; break;
    case Outcome::kMissing: ++missing; break;
    case Outcome::kInvalid: ++invalid; break;
    case Outcome::kSystemError: ++systemError; break;
  }
}

std::string GroupDigits(std::size_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, ',');
  return digits;
}

std::string SummaryLine(const ScanSummary& s) {
  std::string line = GroupDigits(s.total) + (s.total == 1 ? " component: " : " components: ") +
                     GroupDigits(s.passed) + " passed";
  const std::pair<std::size_t, const char*> parts[] = {{s.filtered, "filtered"},
                                                       {s.outOfRange, "failed"},
                                                       {s.manifestDiffers, "differing from the manifest"},
                                                       {s.missing, "missing"},
                                                       {s.invalid, "invalid"},
                                                       {s.systemError, "system errors"}};
  for (const auto& [count, label] : parts) {
    if (count == 0) continue;
    line += ", " + GroupDigits(count) + " ";
    line += count == 1 && std::string_view(label) == "system errors" ? "system error" : label;
  }
  if (s.warnings != 0) {
    line += ", " + GroupDigits(s.warnings) + (s.warnings == 1 ? " warning" : " warnings");
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, ", in %.1f s", s.seconds);
  return line + seconds;
}

std::unique_ptr<Report> MakeReport(const ScanOptions& options, std::FILE* out) {
  return MakeReport(options.format, options, out, options.colorText);
}

std::unique_ptr<Report> MakeReport(Format format, const ScanOptions& options, std::FILE* out,
                                   bool color) {
  switch (format) {
    case Format::kJsonl: return std::make_unique<JsonLinesReport>(options, out);
    case Format::kCsv: return std::make_unique<CsvReport>(out);
    case Format::kJunit: return std::make_unique<JunitReport>(out);
    case Format::kGithub: return MakeGithubReport(out);
    case Format::kText: break;
  }
  return std::make_unique<TextReport>(options, out, color);
}

}  // namespace packprobe::scan
