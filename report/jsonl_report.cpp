// The JSON Lines writer. JSON text is written here as strings, field by
// field, rather than built as a tree of values: destroying such a tree
// allocates, so running out of memory while building one would end the
// process instead of the report.
#include <charconv>
#include <cmath>
#include <type_traits>

#include "report/escape.h"
#include "report/jsonl.h"
#include "util/version.h"
#include "util/shown_text.h"

namespace packprobe::report {
namespace {

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

std::string StringOrNull(const std::string& value) {
  return value.empty() ? std::string("null") : JsonString(value);
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

std::string JsonStrings(const std::vector<std::string>& values) {
  std::string list = "[";
  for (const std::string& value : values) {
    if (list.size() > 1) list += ',';
    list += JsonString(value);
  }
  return list + "]";
}

std::string VersionJson(const gate::VersionReport& version, const std::optional<bool>* present = nullptr) {
  JsonObject json;
  json.Field("text", OrNull(version.text))
      .Field("version", OrNull(version.version))
      .Field("display", OrNull(version.display))
      .Field("in_range", OrNull(version.inRange));
  if (present != nullptr) json.Field("present", OrNull(*present));
  return json.Close();
}

std::string ShardJson(const std::optional<gate::Shard>& shard) {
  return shard ? JsonString(gate::ShardText(*shard)) : std::string("null");
}

std::string WaiversJson(const std::vector<gate::Waiver>& waivers) {
  std::string list = "[";
  for (const gate::Waiver& waiver : waivers) {
    if (list.size() > 1) list += ',';
    list += JsonObject()
                .Field("path", JsonString(waiver.path))
                .Field("base", StringOrNull(waiver.base))
                .Field("code", JsonString(waiver.code))
                .Field("reason", JsonString(waiver.reason))
                .Field("until", StringOrNull(waiver.until))
                .Close();
  }
  return list + "]";
}

std::string ExcludeJson(const std::vector<gate::ExcludePattern>& patterns) {
  std::string list = "[";
  for (const gate::ExcludePattern& pattern : patterns) {
    if (list.size() > 1) list += ',';
    list += JsonObject()
                .Field("pattern", JsonString(pattern.glob))
                .Field("base", StringOrNull(pattern.base))
                .Close();
  }
  return list + "]";
}

std::string FactsJson(const crypto::SignatureFacts& facts) {
  std::string nested = "[";
  for (const crypto::SignatureFacts& inner : facts.nested) {
    if (nested.size() > 1) nested += ',';
    nested += FactsJson(inner);
  }
  nested += ']';
  return JsonObject()
      .Field("state", JsonString(crypto::SignatureStateName(facts.state)))
      .Field("problem", StringOrNull(facts.problem))
      .Field("subject", StringOrNull(facts.subject))
      .Field("issuer", StringOrNull(facts.issuer))
      .Field("fingerprint", StringOrNull(facts.fingerprint))
      .Field("algorithm", facts.algorithm ? JsonString(crypto::AlgorithmInfo(*facts.algorithm).name) : "null")
      .Field("timestamp", JsonString(crypto::TimestampKindName(facts.timestamp)))
      .Field("signing_time", facts.signingTime ? JsonString(SigningTimeText(*facts.signingTime)) : "null")
      .Field("chain", JsonString(crypto::ChainCheckName(facts.chain)))
      .Field("pin", JsonString(crypto::PinCheckName(facts.pin)))
      .Field("nested", nested)
      .Close();
}

std::string SignatureJson(const std::optional<gate::SignatureReport>& report) {
  if (!report) return "null";
  std::string list = "[";
  for (const crypto::SignatureFacts& facts : report->signatures) {
    if (list.size() > 1) list += ',';
    list += FactsJson(facts);
  }
  return JsonObject()
      .Field("state", JsonString(crypto::SignatureStateName(report->state)))
      .Field("problem", StringOrNull(report->problem))
      .Field("signatures", list + "]")
      .Close();
}

std::string RequiredJson(const gate::SigningPolicy& signing) {
  std::vector<std::string> which;
  if (signing.requireStub) which.emplace_back("stub");
  if (signing.requireSetup) which.emplace_back("setup");
  return JsonStrings(which);
}

std::string HeaderJson(const RunHeader& header) {
  return JsonObject()
      .Field("schema", JsonString(kJsonSchema))
      .Field("program", JsonString("packprobe-scan"))
      .Field("version", JsonString(kProjectVersion))
      .Field("options", OptionsJson(header.settings))
      .Field("config", StringOrNull(header.settings.config))
      .Field("folder", StringOrNull(header.folder))
      .Field("manifest_sha256", StringOrNull(header.manifestSha256))
      .Field("date", StringOrNull(header.date))
      .Close();
}

std::string WarningsJson(const std::vector<gate::Warning>& warnings, bool ofRecord) {
  std::string list = "[";
  for (const gate::Warning& warning : warnings) {
    if (list.size() > 1) list += ',';
    JsonObject json;
    json.Field("code", JsonString(warning.code)).Field("detail", JsonString(warning.detail));
    if (ofRecord) json.Field("ignored", JsonBool(warning.ignored)).Field("waived", StringOrNull(warning.waived));
    list += json.Close();
  }
  return list + "]";
}

std::string CountsJson(const gate::Totals& totals) {
  JsonObject counts;
  for (const gate::OutcomeRow& row : gate::kOutcomes) {
    counts.Field(row.name, std::to_string(totals.Of(row.outcome)));
  }
  return counts.Close();
}

class JsonLinesReport : public Report {
 public:
  explicit JsonLinesReport(std::FILE* out) : Report(out) {}
  void Begin(const RunHeader& header) override {
    shard_ = header.settings.shard;
    Write(HeaderJson(header) + "\n");
  }
  void Add(const ScanRecord& record) override { Write(RecordJson(record) + "\n"); }
  // The closing record: a report without it was cut short.
  void End(const RunEnd& end) override {
    Write(JsonObject()
              .Field("complete", "true")
              .Field("total", std::to_string(end.totals.total))
              .Field("counts", CountsJson(end.totals))
              .Field("warnings", std::to_string(end.totals.warnings))
              .Field("waived", std::to_string(end.totals.waived))
              .Field("excluded", std::to_string(end.excluded))
              .Field("run_warnings", WarningsJson(end.runWarnings, false))
              .Field("exit_code", std::to_string(end.exitCode))
              .Field("shard", ShardJson(shard_))
              .Field("found", JsonObject()
                                  .Field("count", std::to_string(end.found.count))
                                  .Field("sha256", JsonString(end.found.sha256))
                                  .Close())
              .Field("elapsed_ms", JsonDouble(std::round(end.seconds * 1e6) / 1000))
              .Close() +
          "\n");
  }

 private:
  std::optional<gate::Shard> shard_;
};

}  // namespace

std::string OptionsJson(const gate::RunSettings& s) {
  return JsonObject()
      .Field("paths", JsonStrings(s.selection.paths))
      .Field("files_from", StringOrNull(s.selection.filesFrom))
      .Field("null_separated", JsonBool(s.selection.nullSeparated))
      .Field("exclude", ExcludeJson(s.selection.exclude))
      .Field("follow", JsonBool(s.selection.follow))
      .Field("stub_min", std::to_string(s.criteria.stubMin))
      .Field("stub_max", std::to_string(s.criteria.stubMax))
      .Field("setup_min", std::to_string(s.criteria.setupMin))
      .Field("setup_max", std::to_string(s.criteria.setupMax))
      .Field("firmware_only", JsonBool(s.criteria.firmwareOnly))
      .Field("software_only", JsonBool(s.criteria.softwareOnly))
      .Field("strict", JsonBool(s.policy.strict))
      .Field("error_on", JsonStrings(s.policy.errorOn))
      .Field("ignore", JsonStrings(s.policy.ignore))
      .Field("waivers", WaiversJson(s.policy.waivers))
      .Field("trust", JsonStrings(s.signing.trust))
      .Field("signers", JsonStrings(s.signing.signers))
      .Field("require_signed", RequiredJson(s.signing))
      .Field("manifest", StringOrNull(s.manifest))
      .Field("hash", JsonBool(s.Hashing()))
      .Field("allow_empty", JsonBool(s.allowEmpty))
      .Field("shard", ShardJson(s.shard))
      .Field("jobs", std::to_string(s.jobs))
      .Close();
}

std::string SigningTimeText(std::int64_t seconds) { return crypto::TimeText(seconds); }

std::optional<std::int64_t> SigningTimeFromText(std::string_view text) {
  // "YYYY-MM-DDTHH:MM:SSZ", as TimeText writes it.
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t digits) -> std::optional<int> {
    int value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  const auto year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const auto hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (!year || !month || !day || !hour || !minute || !second || *month < 1 || *month > 12 || *day < 1 ||
      *day > 31 || *hour > 23 || *minute > 59 || *second > 60) {
    return std::nullopt;
  }
  const std::int64_t seconds = crypto::SecondsFromCivil(*year, *month, *day, *hour, *minute, *second);
  // A day the month lacks ("02-31") names no time.
  if (crypto::TimeText(seconds) != text) return std::nullopt;
  return seconds;
}

std::string SettingsKey(const RunHeader& header) {
  RunHeader key = header;
  key.settings.shard.reset();
  key.settings.jobs = 0;
  key.date.clear();  // shards may start either side of midnight
  return HeaderJson(key);
}

std::string RecordJson(const ScanRecord& record) {
  JsonObject json;
  // A path that is not shown as it is (not UTF-8, or holding control
  // characters) also comes as its raw bytes, so that it round-trips.
  json.Field("path", JsonString(ShownPath(record.path)))
      .Field("path_bytes", IsPlainPath(record.path) ? "null" : JsonString(Base64(record.path)))
      .Field("file", JsonString(record.file))
      .Field("relative_path", JsonString(record.relativePath))
      .Field("outcome", JsonString(gate::OutcomeName(record.outcome)))
      .Field("exit_code", std::to_string(record.exitCode))
      .Field("status", std::to_string(record.status))
      .Field("stub", VersionJson(record.stub))
      .Field("setup", VersionJson(record.setup, &record.setupPresent))
      .Field("name", JsonString(record.name))
      .Field("category", OrNull(record.category))
      .Field("type", OrNull(record.type))
      .Field("size", OrNull(record.size))
      .Field("sha256", OrNull(record.sha256))
      .Field("signatures", JsonObject()
                               .Field("stub", SignatureJson(record.signature))
                               .Field("setup", SignatureJson(record.setupSignature))
                               .Close());
  if (record.reason) {
    JsonObject reason;
    reason.Field("code", JsonString(record.reason->code))
        .Field("step", JsonString(record.reason->step))
        .Field("detail", JsonString(record.reason->detail))
        .Field("subject", StringOrNull(record.reason->subject))
        .Field("layer_result", std::to_string(record.reason->layerResult));
    json.Field("reason", reason.Close());
  } else {
    json.Field("reason", "null");
  }
  json.Field("warnings", WarningsJson(record.warnings, true));
  if (record.waived) {
    json.Field("waived", JsonObject()
                             .Field("code", JsonString(record.waived->code))
                             .Field("reason", JsonString(record.waived->reason))
                             .Field("until", StringOrNull(record.waived->until))
                             .Field("path", JsonString(record.waived->path))
                             .Close());
  } else {
    json.Field("waived", "null");
  }
  json.Field("elapsed_ms", JsonDouble(gate::RoundedMilliseconds(record.elapsedMs)));
  return json.Close();
}

std::unique_ptr<Report> MakeJsonLinesReport(std::FILE* out) { return std::make_unique<JsonLinesReport>(out); }

}  // namespace packprobe::report
