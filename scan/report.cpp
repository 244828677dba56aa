#include "scan/report.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <optional>
#include <system_error>

#include "scan/shown_text.h"
#include "scan/spool.h"
#include "scan/version.h"
#include "util/text.h"

namespace packprobe::scan {
namespace {

// Objects are made as objects from the start (Json::object()), never by
// a first key on a null value: that conversion leaves a value the library
// cannot destroy when the allocation fails.
using Json = nlohmann::ordered_json;

bool IsFailure(Outcome outcome) {
  return outcome != Outcome::kPassed && outcome != Outcome::kFiltered;
}

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json VersionJson(const VersionReport& version) {
  Json json = Json::object();
  json["text"] = OrNull(version.text);
  json["version"] = OrNull(version.version);
  json["display"] = OrNull(version.display);
  json["in_range"] = OrNull(version.inRange);
  return json;
}

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms);
  return text;
}

Json RecordJson(const ScanRecord& record) {
  Json json = Json::object();
  // A path that is not shown as it is (not UTF-8, or holding control
  // characters) also comes as its raw bytes, so that it round-trips.
  json["path"] = ShownPath(record.path);
  json["path_bytes"] = IsPlainPath(record.path) ? Json(nullptr) : Json(Base64(record.path));
  json["file"] = record.file;
  json["outcome"] = std::string(OutcomeName(record.outcome));
  json["exit_code"] = record.exitCode;
  json["status"] = record.status;
  json["stub"] = VersionJson(record.stub);
  Json setup = VersionJson(record.setup);
  setup["present"] = OrNull(record.setupPresent);
  json["setup"] = std::move(setup);
  json["name"] = record.name;
  json["category"] = OrNull(record.category);
  json["type"] = OrNull(record.type);
  if (record.reason) {
    Json reason = Json::object();
    reason["code"] = record.reason->code;
    reason["step"] = record.reason->step;
    reason["detail"] = record.reason->detail;
    reason["subject"] = record.reason->subject.empty() ? Json(nullptr) : Json(record.reason->subject);
    reason["layer_result"] = record.reason->layerResult;
    json["reason"] = std::move(reason);
  } else {
    json["reason"] = nullptr;
  }
  Json warnings = Json::array();
  for (const Warning& warning : record.warnings) {
    warnings.push_back(Json{{"code", warning.code}, {"detail", warning.detail}});
  }
  json["warnings"] = std::move(warnings);
  json["elapsed_ms"] = std::round(record.elapsedMs * 1000) / 1000;
  return json;
}

std::string Dump(const Json& json) {
  // Invalid UTF-8 (a file name that is not) becomes U+FFFD rather than an
  // exception.
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json ShardJson(const ScanOptions& options) {
  if (!options.shard) return nullptr;
  return std::to_string(options.shard->index) + "/" + std::to_string(options.shard->count);
}

Json OptionsJson(const ScanOptions& options) {
  Json json = Json::object();
  json["paths"] = options.paths;
  json["files_from"] = options.filesFrom.empty() ? Json(nullptr) : Json(options.filesFrom);
  json["stub_min"] = options.criteria.stubMin;
  json["stub_max"] = options.criteria.stubMax;
  json["setup_min"] = options.criteria.setupMin;
  json["setup_max"] = options.criteria.setupMax;
  json["firmware_only"] = options.criteria.firmwareOnly;
  json["software_only"] = options.criteria.softwareOnly;
  json["strict"] = options.strict;
  json["shard"] = ShardJson(options);
  json["jobs"] = options.jobs;
  return json;
}

// --- jsonl -------------------------------------------------------------------

class JsonLinesReport : public Report {
 public:
  JsonLinesReport(const ScanOptions& options, std::FILE* out) : Report(out), options_(options) {}
  void Begin() override {
    Json header = Json::object();
    header["schema"] = kJsonSchema;
    header["program"] = "packprobe-scan";
    header["version"] = kProjectVersion;
    header["options"] = OptionsJson(options_);
    Write(Dump(header) + "\n");
  }
  void Add(const ScanRecord& record) override { Write(Dump(RecordJson(record)) + "\n"); }
  // The closing record: a report without it was cut short.
  void End(const ScanSummary& summary) override {
    Json counts = Json::object();
    for (std::size_t i = 0; i < kOutcomeCount; ++i) {
      counts[std::string(OutcomeName(static_cast<Outcome>(i)))] = summary.counts[i];
    }
    Json closing = Json::object();
    closing["complete"] = true;
    closing["total"] = summary.total;
    closing["counts"] = std::move(counts);
    closing["warnings"] = summary.warnings;
    closing["exit_code"] = summary.exitCode;
    closing["shard"] = ShardJson(options_);
    closing["elapsed_ms"] = std::round(summary.seconds * 1e6) / 1000;
    Write(Dump(closing) + "\n");
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
          "reason.code,reason.step,reason.detail,warnings,elapsed_ms\r\n");
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
        r.reason ? r.reason->detail : "", warnings, Milliseconds(r.elapsedMs)};
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
                               std::to_string(s.outOfRange) + "\" errors=\"" +
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
    if (r.reason) text += "\n" + r.reason->code + " (" + r.reason->step + "): " + r.reason->detail;
    for (const Warning& w : r.warnings) text += "\nwarning " + w.code + ": " + w.detail;
    return text;
  }

  Spool spool_;
};

// --- text ------------------------------------------------------------------

class TextReport : public Report {
 public:
  TextReport(const ScanOptions& options, std::FILE* out) : Report(out), quiet_(options.quiet) {}
  void Begin() override {
    if (!quiet_) Write(Row("OUTCOME", "EXIT", "VEKSTUB", "VEKSETUP", "TYPE", "PATH"));
  }
  void Add(const ScanRecord& r) override {
    std::string text = Row(std::string(OutcomeName(r.outcome)), std::to_string(r.exitCode),
                           r.stub.display.value_or("-"), r.setup.display.value_or("none"),
                           r.type.value_or("-"), ShownPath(r.path));
    // Details quote package strings: their control characters are escaped,
    // so that no string adds a line or reaches the terminal.
    if (r.reason) {
      text += "    reason: " + r.reason->code + " (" + r.reason->step +
              "): " + EscapeControls(r.reason->detail) + "\n";
    }
    for (const Warning& w : r.warnings) {
      text += "    warning: " + w.code + ": " + EscapeControls(w.detail) + "\n";
    }
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

  bool quiet_;
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
  switch (options.format) {
    case Format::kJsonl: return std::make_unique<JsonLinesReport>(options, out);
    case Format::kCsv: return std::make_unique<CsvReport>(out);
    case Format::kJunit: return std::make_unique<JunitReport>(out);
    case Format::kText: break;
  }
  return std::make_unique<TextReport>(options, out);
}

}  // namespace packprobe::scan
