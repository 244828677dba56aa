#include "report/jsonl_reader.h"

#include <algorithm>

#include "component/exit_codes.h"
#include "gate/policy.h"
#include "gate/shares.h"
#include "report/jsonl.h"
#include "util/shown_text.h"

namespace packprobe::report {
namespace {

using gate::Outcome;
using gate::ScanRecord;

// The raw relative path of a record whose path came as raw bytes: the last
// parts of the path, as many as the shown relative path has (its "/"
// survive any replacement of bytes that are not UTF-8).
std::string RawRelativePath(const std::string& rawPath, const std::string& shownRelative) {
  std::size_t parts = static_cast<std::size_t>(std::count(shownRelative.begin(), shownRelative.end(), '/')) + 1;
  std::size_t start = rawPath.size();
  while (parts-- > 0) {
    const std::size_t slash = start == 0 ? std::string::npos : rawPath.rfind('/', start - 1);
    if (slash == std::string::npos) return rawPath;
    start = slash;
  }
  return rawPath.substr(start + 1);
}

}  // namespace

ReportReader::ReportReader(std::string name, std::FILE* stream) : name_(std::move(name)), stream_(stream) {}

std::string ReportReader::Where() const { return name_ + ":" + std::to_string(line_); }

bool ReportReader::AtEnd() {
  if (!peeked_) peeked_ = std::fgetc(stream_);
  return *peeked_ == EOF;
}

bool ReportReader::ReadLine(std::string& line, std::string& error) {
  line.clear();
  ++line_;
  int c = peeked_ ? *peeked_ : std::fgetc(stream_);
  peeked_.reset();
  if (c == EOF) {
    error = std::ferror(stream_) ? name_ + ": cannot be read" : Where() + ": the report ends here: it is cut";
    return false;
  }
  while (c != EOF && c != '\n') {
    if (line.size() >= kMaxLine) {
      error = Where() + ": a line longer than " + std::to_string(kMaxLine >> 20) + " MiB: no report";
      return false;
    }
    line += static_cast<char>(c);
    c = std::fgetc(stream_);
  }
  if (c == EOF) {
    error = std::ferror(stream_) ? name_ + ": cannot be read" : Where() + ": the line is not ended: the report is cut";
    return false;
  }
  return true;
}

bool LooksLikeReport(std::string_view firstLine) {
  std::string error;
  const std::optional<JsonValue> json = ParseJson(firstLine, error);
  if (!json) return false;
  const JsonValue* schema = json->Find("schema");
  return schema != nullptr && schema->kind == JsonValue::Kind::kString &&
         schema->text.starts_with("packprobe-scan/");
}

namespace {

// The value of an enumeration whose count values 0 to count - 1 have the
// names name(value) gives; nothing for a name that is none of them.
template <typename Enum>
std::optional<Enum> EnumFromName(std::string_view text, int count, std::string_view (*name)(Enum)) {
  for (int i = 0; i < count; ++i) {
    if (name(static_cast<Enum>(i)) == text) return static_cast<Enum>(i);
  }
  return std::nullopt;
}

std::string_view AlgorithmName(crypto::DigestAlgorithm algorithm) { return crypto::AlgorithmInfo(algorithm).name; }

// The facts of one signature and those nested in it.
void ReadFacts(const JsonValue& object, crypto::SignatureFacts& facts, std::string& error, const std::string& where) {
  JsonFields f(object, error, where);
  const auto known = [&](std::string_view key, auto parsed) {
    if (!parsed && !f.failed()) f.Fail("\"" + std::string(key) + "\" holds no known value");
    return parsed;
  };
  const std::string state = f.String("state");
  facts.state = known("state", EnumFromName(state, 8, crypto::SignatureStateName)).value_or(facts.state);
  facts.problem = f.OptionalString("problem").value_or("");
  facts.subject = f.OptionalString("subject").value_or("");
  facts.issuer = f.OptionalString("issuer").value_or("");
  facts.fingerprint = f.OptionalString("fingerprint").value_or("");
  if (const std::optional<std::string> algorithm = f.OptionalString("algorithm")) {
    facts.algorithm = known("algorithm", EnumFromName(*algorithm, std::size(crypto::kDigestAlgorithms), AlgorithmName));
  }
  facts.timestamp = known("timestamp", EnumFromName(f.String("timestamp"), 3, crypto::TimestampKindName))
                        .value_or(facts.timestamp);
  if (const std::optional<std::string> time = f.OptionalString("signing_time")) {
    facts.signingTime = known("signing_time", SigningTimeFromText(*time));
  }
  facts.chain = known("chain", EnumFromName(f.String("chain"), 3, crypto::ChainCheckName)).value_or(facts.chain);
  facts.pin = known("pin", EnumFromName(f.String("pin"), 3, crypto::PinCheckName)).value_or(facts.pin);
  if (const JsonValue* nested = f.List("nested")) {
    for (const JsonValue& inner : nested->items) {
      if (f.failed()) break;
      if (inner.kind != JsonValue::Kind::kObject) {
        f.Fail("\"nested\" holds what is not an object");
        break;
      }
      ReadFacts(inner, facts.nested.emplace_back(), error, where + " \"nested\"");
    }
  }
}

// The signatures of one program file, or none for null.
std::optional<gate::SignatureReport> ReadSignature(JsonFields& parent, std::string_view key, std::string& error) {
  const JsonValue* object = parent.Object(key, true);
  if (object == nullptr) return std::nullopt;
  const std::string where = parent.where() + " \"" + std::string(key) + "\"";
  JsonFields f(*object, error, where);
  gate::SignatureReport report;
  const std::optional<crypto::SignatureState> state = EnumFromName(f.String("state"), 8, crypto::SignatureStateName);
  if (!state && !f.failed()) f.Fail("\"state\" holds no known value");
  report.state = state.value_or(report.state);
  report.problem = f.OptionalString("problem").value_or("");
  if (const JsonValue* list = f.List("signatures")) {
    for (const JsonValue& element : list->items) {
      if (f.failed()) break;
      if (element.kind != JsonValue::Kind::kObject) {
        f.Fail("\"signatures\" holds what is not an object");
        break;
      }
      ReadFacts(element, report.signatures.emplace_back(), error, where);
    }
  }
  return report;
}

void ReadSigning(JsonFields& f, gate::SigningPolicy& signing) {
  signing.trust = f.Strings("trust");
  signing.signers = f.Strings("signers");
  for (const std::string& which : f.Strings("require_signed")) {
    if (which == "stub") {
      signing.requireStub = true;
    } else if (which == "setup") {
      signing.requireSetup = true;
    } else if (!f.failed()) {
      f.Fail("\"require_signed\" holds \"" + which + "\", neither \"stub\" nor \"setup\"");
    }
  }
}

bool ReadOptions(const JsonValue& object, gate::RunSettings& s, std::string& error, const std::string& where) {
  JsonFields f(object, error, where + " \"options\"");
  s.selection.paths = f.Strings("paths");
  s.selection.filesFrom = f.OptionalString("files_from").value_or("");
  s.selection.nullSeparated = f.Bool("null_separated");
  if (const JsonValue* list = f.List("exclude")) {
    for (const JsonValue& element : list->items) {
      if (element.kind != JsonValue::Kind::kObject) {
        f.Fail("\"exclude\" holds what is not an object");
        break;
      }
      JsonFields pattern(element, error, where + " \"exclude\"");
      s.selection.exclude.push_back({pattern.String("pattern"), pattern.OptionalString("base").value_or("")});
    }
  }
  s.selection.follow = f.Bool("follow");
  s.criteria.stubMin = f.Int32("stub_min");
  s.criteria.stubMax = f.Int32("stub_max");
  s.criteria.setupMin = f.Int32("setup_min");
  s.criteria.setupMax = f.Int32("setup_max");
  s.criteria.firmwareOnly = f.Bool("firmware_only");
  s.criteria.softwareOnly = f.Bool("software_only");
  s.policy.strict = f.Bool("strict");
  s.policy.errorOn = f.Strings("error_on");
  s.policy.ignore = f.Strings("ignore");
  if (const JsonValue* list = f.List("waivers")) {
    for (const JsonValue& element : list->items) {
      if (element.kind != JsonValue::Kind::kObject) {
        f.Fail("\"waivers\" holds what is not an object");
        break;
      }
      JsonFields waiver(element, error, where + " \"waivers\"");
      s.policy.waivers.push_back({waiver.String("path"), waiver.OptionalString("base").value_or(""),
                                  waiver.String("code"), waiver.String("reason"),
                                  waiver.OptionalString("until").value_or("")});
    }
  }
  ReadSigning(f, s.signing);
  s.manifest = f.OptionalString("manifest").value_or("");
  s.hash = f.Bool("hash");
  s.allowEmpty = f.Bool("allow_empty");
  if (const std::optional<std::string> shard = f.OptionalString("shard")) {
    s.shard = gate::ParseShard(*shard);
    if (!s.shard) f.Fail("\"shard\" \"" + *shard + "\" is not K/N with 0 <= K < N");
  }
  s.jobs = static_cast<unsigned>(std::clamp<std::int64_t>(f.Integer("jobs"), 1, 1024));
  for (const std::vector<std::string>* codes : {&s.policy.errorOn, &s.policy.ignore}) {
    for (const std::string& code : *codes) {
      std::string why;
      if (!f.failed() && !gate::ParseWarningCodes(code, why)) f.Fail(why);
    }
  }
  return !f.failed();
}

std::optional<ScanRecord> ReadRecordJson(const JsonValue& json, std::string& error, const std::string& where) {
  JsonFields f(json, error, where);
  ScanRecord r;
  r.path = f.String("path");
  // A path shown quoted comes with its raw bytes: the record is the file's.
  const std::optional<std::string> bytes = f.OptionalString("path_bytes");
  if (bytes) {
    const std::optional<std::string> raw = FromBase64(*bytes);
    if (!raw) {
      f.Fail("\"path_bytes\" is not base64");
      return std::nullopt;
    }
    if (ShownPath(*raw) != r.path) {
      f.Fail("\"path_bytes\" is not the path shown in \"path\"");
      return std::nullopt;
    }
    r.path = *raw;
  } else if (!IsPlainPath(r.path)) {
    f.Fail("the path is shown quoted but \"path_bytes\" is null");
    return std::nullopt;
  }
  r.file = f.String("file");
  r.relativePath = f.String("relative_path");
  if (bytes && r.relativePath.find("\xEF\xBF\xBD") != std::string::npos) {
    r.relativePath = RawRelativePath(r.path, r.relativePath);
  }
  const std::string outcome = f.String("outcome");
  r.exitCode = static_cast<int>(f.Integer("exit_code"));
  r.status = static_cast<int>(f.Integer("status"));
  for (auto [key, into] : {std::pair{"stub", &r.stub}, std::pair{"setup", &r.setup}}) {
    const JsonValue* object = f.Object(key, false);
    if (object == nullptr) break;
    JsonFields v(*object, error, where + " \"" + key + "\"");
    into->text = v.OptionalString("text");
    into->version = v.OptionalInt32("version");
    into->display = v.OptionalString("display");
    into->inRange = v.OptionalBool("in_range");
    if (into == &r.setup) r.setupPresent = v.OptionalBool("present");
  }
  r.name = f.String("name");
  r.category = f.OptionalString("category");
  r.type = f.OptionalString("type");
  r.size = f.OptionalUnsigned("size");
  r.sha256 = f.OptionalString("sha256");
  if (const JsonValue* signatures = f.Object("signatures", false)) {
    JsonFields v(*signatures, error, where + " \"signatures\"");
    r.signature = ReadSignature(v, "stub", error);
    r.setupSignature = ReadSignature(v, "setup", error);
  }
  if (const JsonValue* reason = f.Object("reason", true)) {
    JsonFields v(*reason, error, where + " \"reason\"");
    gate::Reason value;
    value.code = v.String("code");
    value.step = v.String("step");
    value.detail = v.String("detail");
    value.subject = v.OptionalString("subject").value_or("");
    value.layerResult = static_cast<int>(v.Integer("layer_result"));
    r.reason = std::move(value);
  }
  if (const JsonValue* warnings = f.List("warnings")) {
    for (const JsonValue& w : warnings->items) {
      if (w.kind != JsonValue::Kind::kObject) {
        f.Fail("\"warnings\" holds what is not an object");
        break;
      }
      JsonFields v(w, error, where + " \"warnings\"");
      r.warnings.push_back({v.String("code"), v.String("detail"), v.Bool("ignored"),
                            v.OptionalString("waived").value_or("")});
    }
  }
  if (const JsonValue* waived = f.Object("waived", true)) {
    JsonFields v(*waived, error, where + " \"waived\"");
    r.waived = gate::Waived{v.String("code"), v.String("reason"), v.OptionalString("until").value_or(""),
                            v.String("path")};
  }
  r.elapsedMs = f.Number("elapsed_ms");
  if (f.failed()) return std::nullopt;
  const std::optional<Outcome> known = gate::OutcomeFromName(outcome);
  if (!known) {
    f.Fail("unknown outcome \"" + outcome + "\"");
    return std::nullopt;
  }
  r.outcome = *known;
  // The inspection ran to its end exactly when its status is 0.
  r.inspected = r.status == 0;
  return r;
}

}  // namespace

bool ReportReader::ReadHeader(RunHeader& header, std::string& error) {
  std::string line;
  if (!ReadLine(line, error)) {
    if (line_ == 1 && line.empty() && std::feof(stream_)) error = name_ + ": empty, not a report";
    return false;
  }
  const std::string where = Where();
  const std::optional<JsonValue> json = ParseJson(line, error);
  if (!json || json->kind != JsonValue::Kind::kObject) {
    error = where + ": not a JSON object" + (json ? std::string() : " (" + error + ")");
    return false;
  }
  JsonFields f(*json, error, where);
  const JsonValue* schema = json->Find("schema");
  if (schema == nullptr || schema->kind != JsonValue::Kind::kString) {
    error = where + ": no header (a packprobe-scan JSON Lines report begins with one)";
    return false;
  }
  if (schema->text != kJsonSchema) {
    error = where + ": the schema is \"" + schema->text + "\"; this version of packprobe-scan reads \"" +
            std::string(kJsonSchema) + "\" (make the reports and read them with one version)";
    return false;
  }
  header = RunHeader{};
  const JsonValue* options = f.Object("options", false);
  if (options == nullptr || !ReadOptions(*options, header.settings, error, where)) return false;
  header.settings.config = f.OptionalString("config").value_or("");
  header.folder = f.OptionalString("folder").value_or("");
  header.manifestSha256 = f.OptionalString("manifest_sha256").value_or("");
  header.date = f.OptionalString("date").value_or("");
  if (f.failed()) return false;
  header_ = header;
  inReport_ = true;
  lastPath_.clear();
  sawRecord_ = sawAbsent_ = false;
  tally_ = gate::Totals{};
  return true;
}

bool ReportReader::CheckRecord(const ScanRecord& r, std::string& error) {
  const auto fail = [&](const std::string& what) {
    error = Where() + ": " + what;
    return false;
  };
  if (r.status != 0 && r.status != kStatusMissing && r.status != kStatusInvalid &&
      r.status != kStatusSystemError) {
    return fail("status " + std::to_string(r.status) + " is none an inspection gives");
  }
  if (!r.stub.version && r.exitCode != r.status && r.outcome != Outcome::kAbsent) {
    return fail("exit code " + std::to_string(r.exitCode) + " of a record without an inspection is not its status");
  }
  const std::string outcome(gate::OutcomeName(r.outcome));
  const gate::OutcomeClass kind = gate::ClassOf(r.outcome);
  if (r.waived && !gate::IsFailure(r.outcome)) return fail("outcome " + outcome + " waived, which fails nothing");
  if (kind == gate::OutcomeClass::kDiffers && header_.settings.manifest.empty()) {
    return fail("outcome " + outcome + " in a report made without a manifest");
  }
  if (!r.reason) {
    if (kind == gate::OutcomeClass::kFailed || kind == gate::OutcomeClass::kDiffers) {
      return fail("outcome " + outcome + " without a reason");
    }
    if (r.status != 0) return fail("outcome " + outcome + " contradicts status " + std::to_string(r.status));
  } else if (r.reason->step == gate::kPolicyStep || r.reason->step == gate::kSigningStep) {
    if (r.outcome != Outcome::kInvalid) return fail("a reason of the policy with outcome " + outcome);
  } else if (r.reason->step == gate::kManifestStep) {
    if (kind != gate::OutcomeClass::kDiffers || r.reason->code != outcome) {
      return fail("a reason of the manifest with outcome " + outcome);
    }
  } else if (r.outcome != gate::FailureOutcome(r.status, r.reason->code)) {
    return fail("outcome " + outcome + " contradicts status " + std::to_string(r.status) + " and reason " +
                r.reason->code);
  }
  // Records come in path order, the manifest's absent entries after them.
  if (r.outcome == Outcome::kAbsent) {
    sawAbsent_ = true;
  } else {
    if (sawAbsent_) return fail("a record after the manifest's absent entries");
    if (sawRecord_ && !(lastPath_ < r.path)) return fail("records out of path order, or a path twice");
    if (!gate::InShare(r.relativePath, header_.settings.shard)) {
      return fail("\"" + ShownPath(r.relativePath) + "\" does not belong to share " +
                  gate::ShardText(*header_.settings.shard));
    }
    lastPath_ = r.path;
    sawRecord_ = true;
  }
  return true;
}

bool ReportReader::ReadClosing(const JsonValue& json, std::string& error) {
  const std::string where = Where();
  JsonFields f(json, error, where);
  if (!f.Bool("complete")) {
    f.Fail("the closing record says the report is not complete");
    return false;
  }
  ReportClosing c;
  c.totals.total = f.Unsigned("total");
  c.totals.warnings = f.Unsigned("warnings");
  c.totals.waived = f.Unsigned("waived");
  c.excluded = f.Unsigned("excluded");
  c.exitCode = static_cast<int>(f.Integer("exit_code"));
  if (const std::optional<std::string> shard = f.OptionalString("shard")) c.shard = gate::ParseShard(*shard);
  if (const JsonValue* counts = f.Object("counts", false)) {
    JsonFields v(*counts, error, where + " \"counts\"");
    for (const gate::OutcomeRow& row : gate::kOutcomes) {
      c.totals.counts[static_cast<std::size_t>(row.outcome)] = v.Unsigned(row.name);
    }
  }
  if (const JsonValue* found = f.Object("found", false)) {
    JsonFields v(*found, error, where + " \"found\"");
    c.found.count = v.Unsigned("count");
    c.found.sha256 = v.String("sha256");
  }
  c.elapsedMs = f.Number("elapsed_ms");
  if (f.failed()) return false;
  if (c.shard != header_.settings.shard) {
    error = where + ": the closing record's share is not the header's";
    return false;
  }
  if (c.totals != tally_) {
    error = where + ": the closing record counts " + std::to_string(c.totals.total) + " components (" +
            std::to_string(c.totals.warnings) + " warnings), the report holds " + std::to_string(tally_.total) +
            " (" + std::to_string(tally_.warnings) + " warnings), or their outcomes differ";
    return false;
  }
  int expected = gate::kScanPassed;
  for (const gate::OutcomeRow& row : gate::kOutcomes) {
    if (tally_.Of(row.outcome) != 0) expected = gate::WorseExitCode(expected, row.exitCode);
  }
  if (c.found.count == 0 && !header_.settings.allowEmpty) {
    expected = gate::WorseExitCode(expected, gate::kScanNothingChecked);
  }
  if (c.exitCode != expected) {
    error = where + ": the closing record's exit code " + std::to_string(c.exitCode) +
            " is not what its records give (" + std::to_string(expected) + ")";
    return false;
  }
  closing_ = c;
  inReport_ = false;
  return true;
}

ReportReader::Next ReportReader::ReadRecord(ScanRecord& record, std::string& error) {
  std::string line;
  while (true) {
    if (!ReadLine(line, error)) {
      if (error.find("is cut") != std::string::npos) error += " (no closing record: its run did not finish)";
      return Next::kFailed;
    }
    const std::string where = Where();
    const std::optional<JsonValue> json = ParseJson(line, error);
    if (!json || json->kind != JsonValue::Kind::kObject) {
      error = where + ": not a JSON object" + (json ? std::string() : " (" + error + ")");
      return Next::kFailed;
    }
    if (json->Find("complete") != nullptr) {
      return ReadClosing(*json, error) ? Next::kClosed : Next::kFailed;
    }
    if (json->Find("path") == nullptr) {
      error = where + ": neither a record (\"path\") nor the closing record (\"complete\")";
      return Next::kFailed;
    }
    std::optional<ScanRecord> read = ReadRecordJson(*json, error, where);
    if (!read || !CheckRecord(*read, error)) return Next::kFailed;
    tally_.Count(*read);
    if (read->outcome == Outcome::kAbsent) continue;  // the judgement makes these again
    gate::ForgetJudgement(*read);
    record = std::move(*read);
    return Next::kRecord;
  }
}

}  // namespace packprobe::report
