#include "release/manifest_file.h"

#include <algorithm>
#include <map>
#include <new>

#include "gate/targets.h"
#include "crypto/sha256.h"
#include "platform/stdio_file.h"
#include "report/escape.h"
#include "report/json_value.h"
#include "util/version.h"

namespace packprobe::release {
namespace {

using report::JsonFields;
using report::JsonString;
using report::JsonValue;

std::string StringOrNull(const std::optional<std::string>& value) {
  return value ? JsonString(*value) : std::string("null");
}

std::string VersionJson(const std::optional<gate::ManifestVersion>& version) {
  if (!version) return "null";
  return "{\"text\":" + StringOrNull(version->text) + ",\"version\":" + std::to_string(version->version) +
         ",\"display\":" + JsonString(version->display) + "}";
}

bool IsSha256Hex(std::string_view text) {
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::optional<gate::ManifestVersion> ReadVersion(JsonFields& entry, const char* key, std::string& error,
                                                 const std::string& where) {
  const JsonValue* value = entry.Object(key, true);
  if (value == nullptr) return std::nullopt;
  JsonFields f(*value, error, where + " \"" + key + "\"");
  gate::ManifestVersion version;
  version.text = f.OptionalString("text");
  version.version = f.Int32("version");
  version.display = f.String("display");
  return version;
}

// One component of the list; false with why in error.
bool ReadEntry(const JsonValue& json, std::size_t number, std::vector<ManifestEntry>& entries,
               std::map<std::string, std::size_t>& seen, std::string& error) {
  const std::string where = "component " + std::to_string(number);
  if (json.kind != JsonValue::Kind::kObject) {
    error = where + ": it is not an object";
    return false;
  }
  JsonFields f(json, error, where);
  ManifestEntry entry;
  entry.path = f.String("path");
  entry.name = f.String("name");
  entry.category = f.OptionalString("category");
  entry.type = f.OptionalString("type");
  entry.stub = ReadVersion(f, "stub", error, where);
  entry.setup = ReadVersion(f, "setup", error, where);
  entry.size = f.Unsigned("size");
  entry.sha256 = f.String("sha256");
  // Signers are recorded since manifests name them: a fingerprint, or null
  // for a program that is not signed; a manifest without them pins none.
  for (auto [key, into] : {std::pair{"signer", &entry.signer}, std::pair{"setup_signer", &entry.setupSigner}}) {
    const JsonValue* signer = json.Find(key);
    if (signer == nullptr || f.failed()) continue;
    if (signer->kind == JsonValue::Kind::kNull) {
      *into = std::string();
    } else if (signer->kind == JsonValue::Kind::kString && IsSha256Hex(signer->text)) {
      *into = signer->text;
    } else {
      f.Fail("\"" + std::string(key) + "\" is neither 64 lowercase hex digits nor null");
    }
  }
  if (f.failed()) return false;
  if (entry.path.empty()) f.Fail("\"path\" is empty");
  else if (entry.type && *entry.type != "firmware" && *entry.type != "software") {
    f.Fail("\"type\" is neither \"firmware\", \"software\" nor null");
  } else if (!entry.stub) {
    f.Fail("\"stub\" is null");
  } else if (!IsSha256Hex(*entry.sha256)) {
    f.Fail("\"sha256\" is not 64 lowercase hex digits");
  }
  if (f.failed()) return false;
  const auto [it, inserted] = seen.emplace(entry.path, number);
  if (!inserted) {
    f.Fail("\"path\" \"" + entry.path + "\" is also that of component " + std::to_string(it->second));
    return false;
  }
  entries.push_back(std::move(entry));
  return true;
}

template <typename Input>
ManifestRead Parse(Input&& input) {
  ManifestRead read;
  std::map<std::string, std::size_t> seen;
  std::size_t number = 0;
  report::JsonListSink sink;
  sink.key = "components";
  sink.take = [&](JsonValue&& element, std::string& why) {
    return ReadEntry(element, ++number, read.entries, seen, why);
  };
  std::string error;
  const std::optional<JsonValue> json = report::ParseJson(std::forward<Input>(input), error,
                                                          report::kMaxJsonDepth, &sink);
  if (!json) {
    read.error = error;
    read.entries.clear();
    return read;
  }
  const JsonValue* schema = json->Find("schema");
  if (json->kind != JsonValue::Kind::kObject || schema == nullptr || schema->kind != JsonValue::Kind::kString) {
    read.error = "no \"schema\": not a release manifest";
  } else if (schema->text != kManifestSchema) {
    read.error = "schema \"" + schema->text + "\" is not " + std::string(kManifestSchema);
  } else if (const JsonValue* list = json->Find("components"); list == nullptr || list->kind != JsonValue::Kind::kArray) {
    read.error = "\"components\" is missing or not a list";
  }
  if (!read.error.empty()) {
    read.entries.clear();
    return read;
  }
  std::sort(read.entries.begin(), read.entries.end(),
            [](const ManifestEntry& a, const ManifestEntry& b) { return a.path < b.path; });
  return read;
}

// A signer's member: none when not recorded, null when unsigned.
std::string SignerJson(const char* key, const std::optional<std::string>& signer) {
  if (!signer) return {};
  return ",\"" + std::string(key) + "\":" + (signer->empty() ? std::string("null") : JsonString(*signer));
}

}  // namespace

std::string EntryJson(const ManifestEntry& entry) {
  return "{\"path\":" + JsonString(entry.path) + ",\"name\":" + JsonString(entry.name) +
         ",\"category\":" + StringOrNull(entry.category) + ",\"type\":" + StringOrNull(entry.type) +
         ",\"stub\":" + VersionJson(entry.stub) + ",\"setup\":" + VersionJson(entry.setup) +
         ",\"size\":" + (entry.size ? std::to_string(*entry.size) : std::string("null")) +
         ",\"sha256\":" + StringOrNull(entry.sha256) + SignerJson("signer", entry.signer) +
         SignerJson("setup_signer", entry.setupSigner) + "}";
}

std::string ManifestText(const std::vector<ManifestEntry>& entries) {
  std::string text = "{\"schema\":" + JsonString(kManifestSchema) + ",\"program\":\"packprobe-scan\",\"version\":" +
                     JsonString(kProjectVersion) + ",\"components\":[";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    text += i == 0 ? "\n" : ",\n";
    text += EntryJson(entries[i]);
  }
  return text + "\n]}\n";
}

ManifestRead ParseManifest(std::string_view text) { return Parse(text); }
ManifestRead ParseManifest(std::FILE* stream) { return Parse(stream); }

std::optional<std::vector<ManifestEntry>> LoadManifest(const std::string& path, std::string& error,
                                                       std::string* sha256) {
  const std::u16string name = gate::PathToUtf16(gate::PathFromUtf8(path).native());
  platform::HostFault fault = platform::HostFault::kNone;
  const platform::StdioFile file = platform::OpenFileForReading(name, &fault);
  const std::string prefix = "the manifest \"" + path + "\" ";
  if (!file) {
    error = prefix + "cannot be read: " +
            (fault == platform::HostFault::kNone ? std::string("it is no regular file that exists")
                                                 : std::string(platform::HostFaultText(fault)));
    return std::nullopt;
  }
  // Its digest and size first, then its components one at a time.
  crypto::Sha256 digest;
  std::uint64_t size = 0;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) {
    size += n;
    if (size > kMaxManifestBytes) {
      error = prefix + "cannot be read: it is larger than " + std::to_string(kMaxManifestBytes >> 20) + " MiB";
      return std::nullopt;
    }
    digest.Update(buffer, n);
  }
  const std::optional<crypto::Sha256Digest> sum = digest.Finish();
  // A digest that could not be had is memory that ran out, not a bad file.
  if (!sum) throw std::bad_alloc();
  if (std::ferror(file.get()) != 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
    error = prefix + "cannot be read";
    return std::nullopt;
  }
  if (sha256 != nullptr) *sha256 = crypto::Sha256Hex(*sum);
  ManifestRead read = ParseManifest(file.get());
  if (!read.error.empty()) {
    error = prefix + "is malformed: " + read.error;
    return std::nullopt;
  }
  return std::move(read.entries);
}

}  // namespace packprobe::release
