#include "scan/manifest.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <system_error>

#include "platform/report_file.h"
#include "platform/stdio_file.h"
#include "scan/host.h"
#include "scan/targets.h"
#include "scan/version.h"

namespace packprobe::scan {
namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json VersionJson(const std::optional<ManifestVersion>& version) {
  if (!version) return nullptr;
  Json json;
  json["text"] = OrNull(version->text);
  json["version"] = version->version;
  json["display"] = version->display;
  return json;
}

std::optional<ManifestVersion> VersionOfReport(const VersionReport& report) {
  if (!report.version) return std::nullopt;
  return ManifestVersion{report.text, *report.version, report.display.value_or("")};
}

// Field readers that say what is wrong with a field.
struct FieldError {
  std::string message;
};

const Json& Field(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) throw FieldError{std::string("\"") + key + "\" is missing"};
  return *it;
}

std::string String(const Json& object, const char* key) {
  const Json& value = Field(object, key);
  if (!value.is_string()) throw FieldError{std::string("\"") + key + "\" is not a string"};
  return value.get<std::string>();
}

std::optional<std::string> StringOrNull(const Json& object, const char* key) {
  const Json& value = Field(object, key);
  if (value.is_null()) return std::nullopt;
  if (!value.is_string()) throw FieldError{std::string("\"") + key + "\" is not a string or null"};
  return value.get<std::string>();
}

std::optional<ManifestVersion> VersionOrNull(const Json& object, const char* key) {
  const Json& value = Field(object, key);
  if (value.is_null()) return std::nullopt;
  if (!value.is_object()) throw FieldError{std::string("\"") + key + "\" is not an object or null"};
  ManifestVersion version;
  version.text = StringOrNull(value, "text");
  const Json& number = Field(value, "version");
  if (!number.is_number_integer() || number.get<std::int64_t>() < INT32_MIN ||
      number.get<std::int64_t>() > INT32_MAX) {
    throw FieldError{std::string("\"") + key + ".version\" is not a 32-bit integer"};
  }
  version.version = number.get<std::int32_t>();
  version.display = String(value, "display");
  return version;
}

bool IsSha256Hex(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

ManifestEntry EntryOfJson(const Json& json) {
  if (!json.is_object()) throw FieldError{"it is not an object"};
  ManifestEntry entry;
  entry.path = String(json, "path");
  if (entry.path.empty()) throw FieldError{"\"path\" is empty"};
  entry.name = String(json, "name");
  entry.category = StringOrNull(json, "category");
  entry.type = StringOrNull(json, "type");
  if (entry.type && *entry.type != "firmware" && *entry.type != "software") {
    throw FieldError{"\"type\" is neither \"firmware\", \"software\" nor null"};
  }
  entry.stub = VersionOrNull(json, "stub");
  if (!entry.stub) throw FieldError{"\"stub\" is null"};
  entry.setup = VersionOrNull(json, "setup");
  const Json& size = Field(json, "size");
  if (!size.is_number_unsigned()) throw FieldError{"\"size\" is not a number of bytes"};
  entry.size = size.get<std::uint64_t>();
  entry.sha256 = String(json, "sha256");
  if (!IsSha256Hex(*entry.sha256)) throw FieldError{"\"sha256\" is not 64 lowercase hex digits"};
  return entry;
}

std::string Direction(const std::optional<ManifestVersion>& before,
                      const std::optional<ManifestVersion>& now) {
  const std::int32_t a = before ? before->version : -1;
  const std::int32_t b = now ? now->version : -1;
  if (b > a) return "newer";
  if (b < a) return "older";
  return "the same number, another text";
}

std::string Quote(const std::optional<std::string>& text) {
  return text ? "\"" + *text + "\"" : "none";
}

}  // namespace

std::string DescribeVersion(const std::optional<ManifestVersion>& version) {
  if (!version) return "none";
  return version->display + " (" + std::to_string(version->version) + ")";
}

ManifestEntry EntryOfRecord(const ScanRecord& record) {
  ManifestEntry entry;
  entry.path = record.relativePath.empty() ? record.path : record.relativePath;
  entry.name = record.name;
  entry.category = record.category;
  entry.type = record.type;
  entry.stub = VersionOfReport(record.stub);
  entry.setup = VersionOfReport(record.setup);
  entry.size = record.size;
  entry.sha256 = record.sha256;
  return entry;
}

std::string EntryJson(const ManifestEntry& entry) {
  Json json;
  json["path"] = entry.path;
  json["name"] = entry.name;
  json["category"] = OrNull(entry.category);
  json["type"] = OrNull(entry.type);
  json["stub"] = VersionJson(entry.stub);
  json["setup"] = VersionJson(entry.setup);
  json["size"] = OrNull(entry.size);
  json["sha256"] = OrNull(entry.sha256);
  return Dump(json);
}

std::string ManifestText(const std::vector<ManifestEntry>& entries) {
  Json header;
  header["schema"] = kManifestSchema;
  header["program"] = "packprobe-scan";
  header["version"] = kProjectVersion;
  std::string text = Dump(header);
  // The header object stays open for the components, one a line, so that a
  // review shows a changed component as one changed line.
  text.pop_back();
  text += ",\"components\":[";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    text += i == 0 ? "\n" : ",\n";
    text += EntryJson(entries[i]);
  }
  text += "\n]}\n";
  return text;
}

ManifestRead ParseManifest(std::string_view text) {
  ManifestRead read;
  const Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded()) {
    read.error = "not JSON";
    return read;
  }
  if (!json.is_object() || !json.contains("schema") || !json["schema"].is_string()) {
    read.error = "no \"schema\": not a release manifest";
    return read;
  }
  if (json["schema"].get<std::string>() != kManifestSchema) {
    read.error = "schema \"" + json["schema"].get<std::string>() + "\" is not " + kManifestSchema;
    return read;
  }
  if (!json.contains("components") || !json["components"].is_array()) {
    read.error = "\"components\" is missing or not a list";
    return read;
  }
  std::map<std::string, std::size_t> seen;
  const Json& components = json["components"];
  for (std::size_t i = 0; i < components.size(); ++i) {
    try {
      ManifestEntry entry = EntryOfJson(components[i]);
      const auto [it, inserted] = seen.emplace(entry.path, i);
      if (!inserted) {
        throw FieldError{"\"path\" \"" + entry.path + "\" is also that of component " +
                         std::to_string(it->second + 1)};
      }
      read.entries.push_back(std::move(entry));
    } catch (const FieldError& e) {
      read.error = "component " + std::to_string(i + 1) + ": " + e.message;
      read.entries.clear();
      return read;
    }
  }
  std::sort(read.entries.begin(), read.entries.end(),
            [](const ManifestEntry& a, const ManifestEntry& b) { return a.path < b.path; });
  return read;
}

std::optional<std::vector<ManifestEntry>> LoadManifest(const std::string& path, std::string& error) {
  // A manifest line is a few hundred bytes: this holds a million components.
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 30;
  std::string why;
  const std::optional<std::string> text = ReadWholeFile(PathFromUtf8(path), kLimit, why);
  if (!text) {
    error = "the manifest \"" + path + "\" cannot be read: " + why;
    return std::nullopt;
  }
  ManifestRead read = ParseManifest(*text);
  if (!read.error.empty()) {
    error = "the manifest \"" + path + "\" is malformed: " + read.error;
    return std::nullopt;
  }
  return std::move(read.entries);
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path, std::uint64_t limit,
                                         std::string& error) {
  std::error_code code;
  if (std::filesystem::is_directory(path, code)) {
    error = "it is a folder";
    return std::nullopt;
  }
  const platform::StdioFile opened = platform::OpenStreamForReading(PathToUtf16(path.native()));
  std::FILE* file = opened.get();
  if (file == nullptr) {
    error = "it cannot be opened";
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    if (text.size() + n > limit) {
      error = "it is larger than " + std::to_string(limit >> 20) + " MiB";
      return std::nullopt;
    }
    text.append(buffer, n);
  }
  if (std::ferror(file) != 0) {
    error = "it cannot be read";
    return std::nullopt;
  }
  return text;
}

bool WriteFileWhole(const std::filesystem::path& path, std::string_view text, std::string& error) {
  platform::ReplacingOutput output;
  if (!output.Open(path.native(), error)) {
    error = "cannot be created: " + error;
    return false;
  }
  if (std::fwrite(text.data(), 1, text.size(), output.stream()) != text.size()) {
    error = "could not be written completely";
    return false;  // the temporary file goes with output
  }
  if (!output.Commit(error)) {
    error = "could not be put in place: " + error;
    return false;
  }
  return true;
}

ManifestCheck::ManifestCheck(std::vector<ManifestEntry> entries) {
  for (ManifestEntry& entry : entries) {
    std::string key = entry.path;
    slots_.emplace(std::move(key), Slot{std::move(entry), false});
  }
}

void ManifestCheck::Judge(ScanRecord& record, bool rangesApply) {
  const auto it = slots_.find(record.relativePath);
  if (it != slots_.end()) it->second.found = true;
  if (!record.inspected || record.outcome == Outcome::kFiltered ||
      ScanExitCode(record.outcome) == kScanFailed) {
    return;
  }
  if (!rangesApply && ScanExitCode(record.outcome) == kScanOutOfRange) {
    // Versions above 9.9.9.9 fail the default ranges; the entry is the
    // measure instead.
    record.outcome = Outcome::kPassed;
    record.stub.inRange.reset();
    record.setup.inRange.reset();
  }
  const auto differ = [&](Outcome outcome, std::string detail) {
    record.outcome = outcome;
    record.reason = Reason{std::string(OutcomeName(outcome)), "manifest", std::move(detail),
                           record.relativePath, 0};
  };
  if (it == slots_.end()) {
    differ(Outcome::kUnexpected, "the manifest has no entry \"" + record.relativePath + "\"");
    return;
  }
  const ManifestEntry& entry = it->second.entry;
  const ManifestEntry now = EntryOfRecord(record);

  std::string versions;
  for (const auto& [label, before, after] :
       {std::tuple{"VEKStub", &entry.stub, &now.stub},
        std::tuple{"VEKSetup", &entry.setup, &now.setup}}) {
    const bool sameText = (before->has_value() ? (*before)->text : std::nullopt) ==
                          (after->has_value() ? (*after)->text : std::nullopt);
    const bool sameNumber = before->has_value() == after->has_value() &&
                            (!before->has_value() || (*before)->version == (*after)->version);
    if (sameText && sameNumber) continue;
    if (!versions.empty()) versions += "; ";
    versions += std::string(label) + " " + DescribeVersion(*after) + " is " +
                Direction(*before, *after) + " than the manifest's " + DescribeVersion(*before);
    if (sameNumber) {
      versions += ": text " + Quote((*after)->text) + ", the manifest's " + Quote((*before)->text);
    }
  }
  if (!versions.empty()) {
    differ(Outcome::kVersionChanged, versions);
    return;
  }

  std::string metadata;
  for (const auto& [label, before, after] :
       {std::tuple{"display name", std::optional<std::string>(entry.name), std::optional<std::string>(now.name)},
        std::tuple{"category", entry.category, now.category},
        std::tuple{"type", entry.type, now.type}}) {
    if (before == after) continue;
    if (!metadata.empty()) metadata += "; ";
    metadata += std::string(label) + " " + Quote(after) + ", the manifest's " + Quote(before);
  }
  if (!metadata.empty()) {
    differ(Outcome::kMetadataChanged, metadata);
    return;
  }

  if (now.sha256 != entry.sha256 || now.size != entry.size) {
    differ(Outcome::kContentChanged,
           "the same versions but other bytes: SHA-256 " + now.sha256.value_or("none") + " (" +
               (now.size ? std::to_string(*now.size) : std::string("?")) +
               " bytes), the manifest's " + entry.sha256.value_or("none") + " (" +
               (entry.size ? std::to_string(*entry.size) : std::string("?")) + " bytes)");
  }
}

std::string FirstFolder(const std::vector<std::filesystem::path>& paths) {
  for (const std::filesystem::path& path : paths) {
    std::error_code code;
    if (std::filesystem::is_directory(path, code)) {
      const std::u8string text = path.generic_u8string();
      return std::string(text.begin(), text.end());
    }
  }
  return {};
}

bool RangesGiven(const CheckCriteria& criteria) {
  const CheckCriteria defaults;
  return criteria.stubMin != defaults.stubMin || criteria.stubMax != defaults.stubMax ||
         criteria.setupMin != defaults.setupMin || criteria.setupMax != defaults.setupMax;
}

std::vector<ScanRecord> ManifestCheck::AbsentRecords(const std::string& folder,
                                                     const std::optional<Shard>& shard) const {
  std::vector<ScanRecord> records;
  for (const auto& [path, slot] : slots_) {
    if (slot.found) continue;
    if (shard && Fnv1a64(path) % shard->count != shard->index) continue;
    ScanRecord record;
    record.path = folder.empty() ? path
                  : folder.back() == '/' ? folder + path
                                         : folder + "/" + path;
    record.relativePath = path;
    record.outcome = Outcome::kAbsent;
    record.status = ComponentInfo::kStatusMissing;
    record.exitCode = ComponentInfo::kStatusMissing;
    record.name = slot.entry.name;
    record.category = slot.entry.category;
    record.type = slot.entry.type;
    record.reason = Reason{"absent", "manifest",
                           "the manifest holds \"" + path + "\" (" + slot.entry.name + ", VEKStub " +
                               DescribeVersion(slot.entry.stub) + ", VEKSetup " +
                               DescribeVersion(slot.entry.setup) + "), but it was not found",
                           path, 0};
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace packprobe::scan
