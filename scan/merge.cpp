#include "scan/merge.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "platform/report_file.h"
#include "platform/stdio_file.h"
#include "scan/config.h"
#include "scan/host.h"
#include "scan/outputs.h"
#include "scan/policy.h"
#include "scan/subcommand.h"
#include "scan/targets.h"

namespace packprobe::scan {
namespace {

using Json = nlohmann::json;

void WriteTo(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// Typed access to a parsed line; a field of the wrong type is an error
// naming it, never an exception that escapes.
class Fields {
 public:
  Fields(const Json& json, std::string& error, std::string where)
      : json_(json), error_(error), where_(std::move(where)) {}

  const Json* Get(const char* key, bool (Json::*is)() const, const char* what, bool nullable) {
    const auto it = json_.find(key);
    if (it == json_.end() || (nullable && it->is_null())) {
      if (!nullable) Fail(std::string("no \"") + key + "\"");
      return nullptr;
    }
    if (!((*it).*is)()) {
      Fail(std::string("\"") + key + "\" is not " + what);
      return nullptr;
    }
    return &*it;
  }
  std::string String(const char* key) {
    const Json* value = Get(key, &Json::is_string, "a string", false);
    return value ? value->get<std::string>() : std::string();
  }
  std::optional<std::string> OptionalString(const char* key) {
    const Json* value = Get(key, &Json::is_string, "a string or null", true);
    return value ? std::optional(value->get<std::string>()) : std::nullopt;
  }
  std::int64_t Integer(const char* key) {
    const Json* value = Get(key, &Json::is_number_integer, "an integer", false);
    return value ? value->get<std::int64_t>() : 0;
  }
  std::optional<std::int32_t> OptionalInt32(const char* key) {
    const Json* value = Get(key, &Json::is_number_integer, "an integer or null", true);
    if (value == nullptr) return std::nullopt;
    const auto number = value->get<std::int64_t>();
    if (number < INT32_MIN || number > INT32_MAX) {
      Fail(std::string("\"") + key + "\" is out of range");
      return std::nullopt;
    }
    return static_cast<std::int32_t>(number);
  }
  std::optional<bool> OptionalBool(const char* key) {
    const Json* value = Get(key, &Json::is_boolean, "true, false or null", true);
    return value ? std::optional(value->get<bool>()) : std::nullopt;
  }
  bool Bool(const char* key) {
    const Json* value = Get(key, &Json::is_boolean, "true or false", false);
    return value && value->get<bool>();
  }
  double Number(const char* key) {
    const Json* value = Get(key, &Json::is_number, "a number", false);
    return value ? value->get<double>() : 0;
  }
  std::vector<std::string> Strings(const char* key) {
    std::vector<std::string> values;
    const Json* array = Get(key, &Json::is_array, "a list", true);
    if (array == nullptr) return values;
    for (const Json& element : *array) {
      if (!element.is_string()) {
        Fail(std::string("\"") + key + "\" holds what is not a string");
        break;
      }
      values.push_back(element.get<std::string>());
    }
    return values;
  }
  Fields Object(const char* key, bool nullable, bool& present) {
    static const Json empty = Json::object();
    const Json* value = Get(key, &Json::is_object, "an object", nullable);
    present = value != nullptr;
    return Fields(value ? *value : empty, error_, where_ + " \"" + key + "\"");
  }
  bool failed() const { return !error_.empty(); }

 private:
  void Fail(const std::string& what) {
    if (error_.empty()) error_ = where_ + ": " + what;
  }
  const Json& json_;
  std::string& error_;
  std::string where_;
};

// The bytes of RFC 4648 base64 text; nothing when it is not base64.
std::optional<std::string> FromBase64(std::string_view text) {
  std::string bytes;
  std::uint32_t bits = 0;
  int count = 0;
  std::size_t padding = 0;
  for (const char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    else if (c >= '0' && c <= '9') value = c - '0' + 52;
    else if (c == '+') value = 62;
    else if (c == '/') value = 63;
    else if (c == '=') {
      ++padding;
      continue;
    } else {
      return std::nullopt;
    }
    if (padding != 0) return std::nullopt;  // data after padding
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      bytes += static_cast<char>((bits >> 16) & 0xFF);
      bytes += static_cast<char>((bits >> 8) & 0xFF);
      bytes += static_cast<char>(bits & 0xFF);
      bits = 0;
      count = 0;
    }
  }
  if (count == 1 || (text.size() % 4) != 0) return std::nullopt;
  if (count == 2) bytes += static_cast<char>((bits >> 4) & 0xFF);
  if (count == 3) {
    bytes += static_cast<char>((bits >> 10) & 0xFF);
    bytes += static_cast<char>((bits >> 2) & 0xFF);
  }
  return bytes;
}

std::optional<Outcome> OutcomeFromName(std::string_view name) {
  for (std::size_t i = 0; i < kOutcomeCount; ++i) {
    if (OutcomeName(static_cast<Outcome>(i)) == name) return static_cast<Outcome>(i);
  }
  return std::nullopt;
}

VersionReport ReadVersion(Fields fields) {
  VersionReport version;
  version.text = fields.OptionalString("text");
  version.version = fields.OptionalInt32("version");
  version.display = fields.OptionalString("display");
  version.inRange = fields.OptionalBool("in_range");
  return version;
}

// The record as the report holds it: the inverse of the JSON Lines record.
ScanRecord ReadRecord(const Json& json, std::string& error, const std::string& where) {
  Fields f(json, error, where);
  ScanRecord r;
  r.path = f.String("path");
  // A path shown quoted comes with its raw bytes: the record is the file's.
  if (const std::optional<std::string> bytes = f.OptionalString("path_bytes")) {
    const std::optional<std::string> raw = FromBase64(*bytes);
    if (!raw) {
      if (error.empty()) error = where + ": \"path_bytes\" is not base64";
      return r;
    }
    r.path = *raw;
  }
  r.file = f.String("file");
  // A release manifest's key, size and digest, when the report has them.
  r.relativePath = f.OptionalString("relative_path").value_or("");
  if (const Json* size = f.Get("size", &Json::is_number_unsigned, "a size or null", true)) {
    r.size = size->get<std::uint64_t>();
  }
  r.sha256 = f.OptionalString("sha256");
  const std::string outcome = f.String("outcome");
  r.exitCode = static_cast<int>(f.Integer("exit_code"));
  r.status = static_cast<int>(f.Integer("status"));
  bool present = false;
  r.stub = ReadVersion(f.Object("stub", false, present));
  Fields setup = f.Object("setup", false, present);
  r.setup = ReadVersion(setup);
  r.setupPresent = setup.OptionalBool("present");
  r.name = f.String("name");
  r.category = f.OptionalString("category");
  r.type = f.OptionalString("type");
  Fields reason = f.Object("reason", true, present);
  if (present) {
    Reason value;
    value.code = reason.String("code");
    value.step = reason.String("step");
    value.detail = reason.String("detail");
    value.subject = reason.OptionalString("subject").value_or("");
    value.layerResult = static_cast<int>(reason.Integer("layer_result"));
    r.reason = std::move(value);
  }
  if (const auto it = json.find("warnings"); it != json.end() && it->is_array()) {
    for (const Json& w : *it) {
      if (!w.is_object()) {
        if (error.empty()) error = where + ": \"warnings\" holds what is not an object";
        break;
      }
      Fields warning(w, error, where + " \"warnings\"");
      r.warnings.push_back({warning.String("code"), warning.String("detail")});
    }
  } else if (error.empty()) {
    error = where + ": no \"warnings\" list";
  }
  r.elapsedMs = f.Number("elapsed_ms");
  if (f.failed()) return r;
  const std::optional<Outcome> known = OutcomeFromName(outcome);
  if (!known) {
    error = where + ": unknown outcome \"" + outcome + "\"";
    return r;
  }
  r.outcome = *known;
  // The inspection ran to its end exactly when its status is 0.
  r.inspected = r.status == 0;
  return r;
}

// PACKPROBE's verdict line for a record whose outcome the comparisons set,
// which the report does not carry (JUnit shows it).
std::string VerdictMessage(const ScanRecord& r, const CheckCriteria& criteria) {
  switch (r.outcome) {
    case Outcome::kFiltered:
      return criteria.firmwareOnly ? "Not a firmware component." : "Not a software component.";
    case Outcome::kBothOutOfRange:
      return "VEKStub failed the version comparison. VEKSetup failed the version comparison.";
    case Outcome::kStubOutOfRange: return "VEKStub failed the version comparison.";
    case Outcome::kSetupOutOfRange: return "VEKSetup failed the version comparison.";
    default: break;
  }
  return r.exitCode == 0 && r.inspected ? "The component passed the validation check." : "";
}

std::optional<Shard> ParseShardText(const std::string& text) {
  const std::size_t slash = text.find('/');
  if (slash == text.npos || text.find_first_not_of("0123456789/") != text.npos) return std::nullopt;
  try {
    const unsigned long k = std::stoul(text.substr(0, slash));
    const unsigned long n = std::stoul(text.substr(slash + 1));
    if (n < 1 || n > UINT32_MAX || k >= n) return std::nullopt;
    return Shard{static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(n)};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool ReadOptions(const Json& json, ScanOptions& options, std::string& error, const std::string& where) {
  Fields f(json, error, where + " \"options\"");
  options.paths = f.Strings("paths");
  options.filesFrom = f.OptionalString("files_from").value_or("");
  for (auto [key, bound] : {std::pair{"stub_min", &options.criteria.stubMin},
                            std::pair{"stub_max", &options.criteria.stubMax},
                            std::pair{"setup_min", &options.criteria.setupMin},
                            std::pair{"setup_max", &options.criteria.setupMax}}) {
    *bound = f.OptionalInt32(key).value_or(*bound);
  }
  options.criteria.firmwareOnly = f.Bool("firmware_only");
  options.criteria.softwareOnly = f.Bool("software_only");
  options.strict = f.Bool("strict");
  options.jobs = static_cast<unsigned>(std::clamp<std::int64_t>(f.Integer("jobs"), 1, 1024));
  options.errorOn = f.Strings("error_on");
  options.ignore = f.Strings("ignore");
  options.exclude = f.Strings("exclude");
  if (const auto shard = f.OptionalString("shard")) {
    options.shard = ParseShardText(*shard);
    if (!options.shard && error.empty()) error = where + ": \"shard\" \"" + *shard + "\" is not K/N";
  }
  return error.empty();
}

std::string ShardName(const std::optional<Shard>& shard) {
  return shard ? std::to_string(shard->index) + "/" + std::to_string(shard->count) : "unsharded";
}

}  // namespace

std::optional<ShardReport> ReadShardReport(std::string name, std::string_view text, std::string& error) {
  ShardReport report;
  report.name = std::move(name);
  bool closed = false;
  std::size_t lineNumber = 0;
  std::int64_t total = -1;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == text.npos ? text.size() : end + 1);
    ++lineNumber;
    const std::string where = report.name + ":" + std::to_string(lineNumber);
    if (closed) {
      error = where + ": a line after the closing record";
      return std::nullopt;
    }
    Json json = Json::parse(line, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
      error = where + ": not a JSON object" + (end == std::string_view::npos ? " (the report is cut)" : "");
      return std::nullopt;
    }
    if (lineNumber == 1) {
      const auto schema = json.find("schema");
      if (schema == json.end() || !schema->is_string()) {
        error = where + ": no header (a packprobe-scan JSON Lines report begins with one)";
        return std::nullopt;
      }
      report.schema = schema->get<std::string>();
      if (report.schema != kJsonSchema) {
        error = where + ": the schema is \"" + report.schema + "\"; merge reads \"" + kJsonSchema + "\"";
        return std::nullopt;
      }
      const auto options = json.find("options");
      if (options == json.end() || !options->is_object()) {
        error = where + ": the header has no \"options\"";
        return std::nullopt;
      }
      if (!ReadOptions(*options, report.options, error, where)) return std::nullopt;
      Json key = *options;
      key.erase("shard");
      key.erase("jobs");
      report.optionsKey = key.dump();
      continue;
    }
    if (json.contains("complete")) {
      Fields f(json, error, where);
      if (!f.Bool("complete")) {
        if (error.empty()) error = where + ": the closing record says the report is not complete";
        return std::nullopt;
      }
      total = f.Integer("total");
      report.exitCode = static_cast<int>(f.Integer("exit_code"));
      report.elapsedMs = f.Number("elapsed_ms");
      if (f.failed()) return std::nullopt;
      closed = true;
      continue;
    }
    if (!json.contains("path")) {
      error = where + ": neither a record (\"path\") nor the closing record (\"complete\")";
      return std::nullopt;
    }
    report.records.push_back(ReadRecord(json, error, where));
    if (!error.empty()) return std::nullopt;
  }
  if (lineNumber == 0) {
    error = report.name + ": empty, not a report";
    return std::nullopt;
  }
  if (!closed) {
    error = report.name + ": no closing record: the report is cut (its run did not finish)";
    return std::nullopt;
  }
  if (total != static_cast<std::int64_t>(report.records.size())) {
    error = report.name + ": the closing record counts " + std::to_string(total) +
            " components, the report holds " + std::to_string(report.records.size());
    return std::nullopt;
  }
  return report;
}

std::optional<MergedRun> MergeShards(std::vector<ShardReport> shards, std::string& error,
                                     const PolicyOverride& policy) {
  if (shards.empty()) {
    error = "no reports to merge";
    return std::nullopt;
  }
  const ShardReport& first = shards.front();
  for (const ShardReport& shard : shards) {
    if (shard.optionsKey != first.optionsKey) {
      error = shard.name + " was made with other options than " + first.name +
              " (all shards of one scan name the same paths, ranges and policy)";
      return std::nullopt;
    }
  }
  // The shares 0..N-1 of one N, each once; an unsharded report alone.
  const std::optional<Shard>& share = first.options.shard;
  const std::uint32_t count = share ? share->count : 1;
  std::map<std::uint32_t, const ShardReport*> byIndex;
  for (const ShardReport& shard : shards) {
    const std::optional<Shard>& own = shard.options.shard;
    if (own.has_value() != share.has_value() || (own && own->count != count)) {
      error = shard.name + " is share " + ShardName(own) + ", " + first.name + " share " +
              ShardName(share) + ": not shares of one split";
      return std::nullopt;
    }
    const auto [it, inserted] = byIndex.emplace(own ? own->index : 0, &shard);
    if (!inserted) {
      error = shard.name + " and " + it->second->name + " are both share " + ShardName(own);
      return std::nullopt;
    }
  }
  if (byIndex.size() != count) {
    std::string missing;
    std::size_t shown = 0, absent = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
      if (byIndex.count(k) != 0) continue;
      ++absent;
      if (shown++ < 10) missing += (missing.empty() ? "" : ", ") + std::to_string(k);
    }
    if (absent > shown) missing += ", ...";
    error = "share" + std::string(absent == 1 ? " " : "s ") + missing + " of " + std::to_string(count) +
            (absent == 1 ? " is" : " are") + " missing (" + std::to_string(absent) + " of " +
            std::to_string(count) + ")";
    return std::nullopt;
  }

  MergedRun run;
  run.options = first.options;
  run.options.shard.reset();
  // A policy given to merge replaces the shards'; a code it names leaves the
  // other list of the shards'.
  if (policy.strict) run.options.strict = *policy.strict;
  const auto drop = [](std::vector<std::string>& from, const std::vector<std::string>& codes) {
    std::erase_if(from, [&](const std::string& code) {
      return std::find(codes.begin(), codes.end(), code) != codes.end();
    });
  };
  if (policy.errorOn) {
    run.options.errorOn = *policy.errorOn;
    if (!policy.ignore) drop(run.options.ignore, *policy.errorOn);
  }
  if (policy.ignore) {
    run.options.ignore = *policy.ignore;
    if (!policy.errorOn) drop(run.options.errorOn, *policy.ignore);
  }
  struct Entry {
    ScanRecord record;
    const std::string* from;
  };
  std::vector<Entry> entries;
  bool allEmptyPass = true;
  for (ShardReport& shard : shards) {
    for (ScanRecord& record : shard.records) entries.push_back({std::move(record), &shard.name});
    run.summary.seconds = std::max(run.summary.seconds, shard.elapsedMs / 1000);
    if (shard.exitCode != kScanPassed) allEmptyPass = false;
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.record.path < b.record.path; });
  for (std::size_t i = 1; i < entries.size(); ++i) {
    if (entries[i].record.path == entries[i - 1].record.path) {
      error = "\"" + entries[i].record.path + "\" is in " + *entries[i - 1].from + " and in " +
              *entries[i].from + ": the shares overlap (did the folders differ between the runs?)";
      return std::nullopt;
    }
  }

  RecordJudge judge(Policy{run.options.strict, run.options.errorOn, run.options.ignore});
  int exitCode = kScanPassed;
  run.records.reserve(entries.size());
  for (Entry& entry : entries) {
    ScanRecord& record = entry.record;
    UnjudgeRecord(record);
    record.verdictMessage = VerdictMessage(record, run.options.criteria);
    record.rangeDetail = RangeDetail(record, run.options.criteria);
    judge.Judge(record);
    run.summary.Count(record);
    exitCode = std::max(exitCode, ScanExitCode(record.outcome));
    run.records.push_back(std::move(record));
  }
  // Nothing checked at all: the shards said what the unsharded run says.
  if (run.records.empty() && !allEmptyPass) exitCode = kScanNothingChecked;
  run.exitCode = exitCode;
  run.summary.exitCode = exitCode;
  return run;
}

int RunMergeProgram(const std::vector<std::string>& arguments) {
  CLI::App app(
      "Joins the JSON Lines reports of the shards of one scan (--shard K/N, every K\n"
      "from 0 to N-1, each once) into the report that one unsharded run gives: the\n"
      "records in path order, duplicates found across shards, --strict and the policy\n"
      "applied over the whole, and the unsharded run's exit code.",
      "packprobe-scan merge");
  app.footer(
      "Exit codes: those of a scan (0, 1, 2, 3), or\n"
      "  64  usage error\n"
      "  65  a report cannot be read, is cut (no closing record), malformed, of another\n"
      "      schema or other options, or the shares do not fit (a gap, a share twice,\n"
      "      a path in two shares)\n"
      "  74  a report could not be written\n");
  app.get_formatter()->column_width(34);
  std::vector<std::string> inputs;
  std::string format = "text";
  ScanOptions outputs;
  std::vector<std::string> also;
  app.add_option("REPORT", inputs, "JSON Lines reports of the shards")->required()->option_text(" ");
  app.add_option("--format", format, "text, jsonl, csv, junit or github (default: text)")
      ->check(CLI::IsMember({"text", "jsonl", "csv", "junit", "github"}))
      ->option_text("FORMAT");
  app.add_option("-o,--output", outputs.output, "write the report to FILE (default: standard output)")
      ->option_text("FILE");
  app.add_option("--also", also, "also write the report as FORMAT to FILE (repeatable)")
      ->option_text("FORMAT:FILE")
      ->allow_extra_args(false);
  app.add_option("--summary", outputs.summary,
                 "append a Markdown summary to FILE (default with --format github: $GITHUB_STEP_SUMMARY)")
      ->option_text("FILE");
  const std::map<std::string, ColorMode> colorModes = {
      {"auto", ColorMode::kAuto}, {"always", ColorMode::kAlways}, {"never", ColorMode::kNever}};
  app.add_option("--color", outputs.color, "colour outcomes in the text report: auto, always, never")
      ->transform(CLI::CheckedTransformer(colorModes))
      ->option_text("WHEN");
  app.add_flag("-q,--quiet", outputs.quiet, "the text report lists only failures and the summary");
  bool strict = false, noStrict = false;
  std::vector<std::string> errorOn, ignore;
  CLI::Option* strictOption =
      app.add_flag("--strict", strict, "every warning fails, whatever the shards' --strict");
  app.add_flag("--no-strict", noStrict, "no warning fails but by --error-on, whatever the shards' --strict")
      ->excludes(strictOption);
  const CLI::Option* errorOnOption =
      app.add_option("--error-on", errorOn, "these warnings fail instead of the shards' --error-on (CODE,...)")
          ->option_text("CODES")
          ->allow_extra_args(false);
  const CLI::Option* ignoreOption =
      app.add_option("--ignore", ignore, "these warnings are dropped instead of the shards' --ignore (CODE,...)")
          ->option_text("CODES")
          ->allow_extra_args(false);

  if (const std::optional<int> done = ParseSubcommandLine(app, arguments, 1)) return *done;
  outputs.format = *FormatFromName(format);
  const auto usage = [](const std::string& message) {
    WriteTo(stderr, "packprobe-scan merge: " + message + "\nRun with --help for more information.\n");
    return kScanUsage;
  };
  if (std::string error = ParseAlso(also, outputs); !error.empty()) return usage(error);
  PolicyOverride policy;
  if (strict || noStrict) policy.strict = strict;
  for (auto [values, name, into, option] : {std::tuple{&errorOn, "--error-on", &policy.errorOn, errorOnOption},
                                            std::tuple{&ignore, "--ignore", &policy.ignore, ignoreOption}}) {
    if (option->count() == 0) continue;
    into->emplace();
    for (const std::string& value : *values) {
      std::string error;
      const auto codes = ParseWarningCodes(value, error);
      if (!codes) return usage(std::string(name) + ": " + error);
      for (const std::string& code : *codes) {
        if (std::find((*into)->begin(), (*into)->end(), code) == (*into)->end()) (*into)->push_back(code);
      }
    }
  }
  if (policy.errorOn && policy.ignore) {
    for (const std::string& code : *policy.errorOn) {
      if (std::find(policy.ignore->begin(), policy.ignore->end(), code) != policy.ignore->end()) {
        return usage("the warning " + code + " is both in --error-on and --ignore");
      }
    }
  }
  if (outputs.summary.empty()) outputs.summary = DefaultSummaryFile(outputs.format);
  if (std::string error = CheckDistinctOutputs(outputs); !error.empty()) return usage(error);

  const auto dataError = [](const std::string& message) {
    WriteTo(stderr, "packprobe-scan merge: " + message + "\n");
    return kScanDataError;
  };
  std::vector<ShardReport> shards;
  for (const std::string& input : inputs) {
    const platform::StdioFile opened =
        platform::OpenStreamForReading(PathToUtf16(PathFromUtf8(input).native()));
    std::FILE* file = opened.get();
    if (file == nullptr) return dataError("cannot read \"" + input + "\"");
    std::string text;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    const bool failed = std::ferror(file) != 0;
    if (failed) return dataError("cannot read \"" + input + "\"");
    std::string error;
    std::optional<ShardReport> shard = ReadShardReport(input, text, error);
    if (!shard) return dataError(error);
    shards.push_back(std::move(*shard));
  }
  std::string error;
  std::optional<MergedRun> run = MergeShards(std::move(shards), error, policy);
  if (!run) return dataError(error);

  ScanOptions& options = run->options;
  options.format = outputs.format;
  options.output = outputs.output;
  options.also = outputs.also;
  options.summary = outputs.summary;
  options.quiet = outputs.quiet;
  options.colorText = options.format == Format::kText && ColorWanted(outputs.color, options.output.empty());

  // Like a scan's, the report replaces -o only when it is whole.
  platform::ReplacingOutput file;
  std::FILE* out = stdout;
  if (!options.output.empty()) {
    if (!file.Open(PathFromUtf8(options.output).native(), error)) {
      WriteTo(stderr, "packprobe-scan merge: cannot write \"" + options.output + "\": " + error + "\n");
      return kScanOutputError;
    }
    out = file.stream();
  }
  ExtraOutputs extras(options);
  if (!extras.Open(error)) {
    WriteTo(stderr, "packprobe-scan merge: " + error + "\n");
    return kScanOutputError;
  }
  const std::unique_ptr<Report> report = MakeReport(options, out);
  report->Begin();
  extras.Begin();
  for (const ScanRecord& record : run->records) {
    if (!report->ok()) break;  // a closed pipe: stop at once
    report->Add(record);
    extras.Add(record);
  }
  if (report->ok()) report->End(run->summary);
  extras.End(run->summary);
  bool written = report->Flush();
  if (!written) {
    error = report->error();
  } else if (out != stdout && !file.Commit(error)) {
    written = false;
    error = "the report could not be put in place as \"" + options.output + "\": " + error;
  }
  if (!written) {
    WriteTo(stderr, "packprobe-scan merge: " + error + "; the report is not whole" +
                        (out != stdout ? " and was not kept" : "") + "\n");
    return kScanOutputError;
  }
  if (!extras.Finish(error)) {
    WriteTo(stderr, "packprobe-scan merge: " + error + "\n");
    return kScanOutputError;
  }
  return run->exitCode;
}

}  // namespace packprobe::scan
