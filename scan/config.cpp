#include "scan/config.h"

#include <toml++/toml.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "gate/policy.h"
#include "gate/selection.h"
#include "gate/targets.h"
#include "platform/file_status.h"
#include "platform/whole_file.h"

namespace packprobe::scan {
namespace fs = std::filesystem;
namespace {

// A configuration file larger than this is no configuration file.
constexpr std::uint64_t kMaxConfigBytes = 1 << 20;

// The path of name in folder, joined as text: a path's operator/ cannot
// survive a failed allocation in the standard library used here (it
// crashes).
fs::path Join(const fs::path& folder, const char* name) {
  fs::path::string_type joined = folder.native();
  if (!joined.empty() && joined.back() != fs::path::preferred_separator) joined += fs::path::preferred_separator;
  for (const char* c = name; *c != '\0'; ++c) joined += static_cast<fs::path::value_type>(*c);
  return fs::path(std::move(joined));
}

// The path relative to the current folder when it lies below it or near,
// else absolute; "/" between its parts.
std::string RelativeToCurrent(const fs::path& path) {
  const std::string absolute = gate::AbsoluteGeneric(path);
  const fs::path relative = fs::path(absolute).lexically_relative(fs::path(gate::AbsoluteGeneric(".")));
  const std::string text = gate::GenericUtf8(relative);
  return text.empty() ? absolute : text;
}

bool IsRepositoryRoot(const fs::path& folder) {
  std::error_code error;
  for (const char* marker : {".git", ".hg", ".svn"}) {
    if (fs::exists(Join(folder, marker), error)) return true;
  }
  return false;
}

// The configuration file to read: the one named, or the first found from
// start upwards within the repository; empty when there is none.
fs::path FindConfigFile(const ConfigRequest& request) {
  if (!request.named.empty()) return gate::PathFromUtf8(request.named);
  if (request.none) return {};
  std::error_code error;
  fs::path start = request.start.empty() ? fs::current_path(error) : gate::PathFromUtf8(request.start);
  if (error) return {};
  if (!fs::is_directory(start, error)) start = start.parent_path();
  if (start.empty()) start = ".";
  start = fs::absolute(start, error).lexically_normal();
  if (error) return {};
  // Where the search stops: the repository's root, or the folder itself.
  fs::path top = start;
  for (fs::path folder = start;; folder = folder.parent_path()) {
    if (IsRepositoryRoot(folder)) {
      top = folder;
      break;
    }
    if (folder == folder.parent_path() || folder.empty()) break;
  }
  for (fs::path folder = start;; folder = folder.parent_path()) {
    const fs::path candidate = Join(folder, kConfigFileName);
    if (fs::exists(fs::symlink_status(candidate, error))) return candidate;
    if (folder == top || folder == folder.parent_path() || folder.empty()) return {};
  }
}

// One key of the file, with the line it stands on for messages.
class KeyReader {
 public:
  KeyReader(const std::string& file, const toml::node& node, std::string name)
      : file_(file), node_(node), name_(std::move(name)) {}

  std::string At(const std::string& message) const {
    return file_ + ":" + std::to_string(node_.source().begin.line) + ": " + message;
  }
  const toml::node& node() const { return node_; }
  std::optional<std::string> String(std::string& error) const {
    if (const auto value = node_.value_exact<std::string>()) return *value;
    error = At(name_ + " must be a string (in quotes)");
    return std::nullopt;
  }
  std::optional<bool> Bool(std::string& error) const {
    if (const auto value = node_.value_exact<bool>()) return *value;
    error = At(name_ + " must be true or false");
    return std::nullopt;
  }
  std::optional<std::vector<std::string>> Strings(std::string& error) const {
    std::vector<std::string> values;
    const toml::array* array = node_.as_array();
    if (array != nullptr) {
      for (const toml::node& element : *array) {
        const auto value = element.value_exact<std::string>();
        if (!value) {
          array = nullptr;
          break;
        }
        values.push_back(*value);
      }
    }
    if (array == nullptr) {
      error = At(name_ + " must be a list of strings, like [\"a\", \"b\"]");
      return std::nullopt;
    }
    return values;
  }

 private:
  const std::string& file_;
  const toml::node& node_;
  std::string name_;
};

// Each [[waive]] table: path, code, reason (all required), until.
std::string ReadWaivers(const KeyReader& key, const toml::node& node, ConfigValues& values) {
  const toml::array* tables = node.as_array();
  if (tables == nullptr || !tables->is_array_of_tables()) {
    return key.At("waive must be tables, each [[waive]] with path, code, reason and until");
  }
  for (const toml::node& element : *tables) {
    const toml::table& table = *element.as_table();
    const auto at = [&](const std::string& message) {
      return values.file + ":" + std::to_string(table.source().begin.line) + ": " + message;
    };
    gate::Waiver waiver;
    waiver.base = values.folder;
    for (const auto& [field, value] : table) {
      const std::string_view name = field.str();
      if (name == "path" || name == "code" || name == "reason") {
        const auto text = value.value_exact<std::string>();
        if (!text || text->empty()) return at("waive." + std::string(name) + " must be a text that is not empty");
        (name == "path" ? waiver.path : name == "code" ? waiver.code : waiver.reason) = *text;
      } else if (name == "until") {
        const auto date = value.value_exact<toml::date>();
        if (!date) return at("waive.until must be a date, like 2027-06-30");
        char text[16];
        std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date->year),
                      static_cast<unsigned>(date->month), static_cast<unsigned>(date->day));
        waiver.until = text;
      } else {
        return at("unknown key waive." + std::string(name) + "; a waiver has path, code, reason and until");
      }
    }
    if (waiver.path.empty() || waiver.code.empty() || waiver.reason.empty()) {
      return at("a waiver needs path, code and reason (why it is waived)");
    }
    if (const std::string why = gate::GlobError(waiver.path); !why.empty()) {
      return at("waive.path \"" + waiver.path + "\" is no pattern: " + why);
    }
    values.waivers.push_back(std::move(waiver));
  }
  return {};
}

std::string ReadKey(const KeyReader& key, const std::string& name, const BoundParser& parseBound,
                    ConfigValues& values) {
  std::string error;
  const auto bound = [&](std::optional<VersionNumber>& into) {
    const auto text = key.String(error);
    if (!text) return error;
    const std::optional<VersionNumber> value = parseBound(*text, error);
    if (!value) return key.At(name + ": " + error);
    into = *value;
    return std::string();
  };
  const auto flag = [&](std::optional<bool>& into) {
    into = key.Bool(error);
    return error;
  };
  const auto codes = [&](std::optional<std::vector<std::string>>& into) {
    into = key.Strings(error);
    if (!into) return error;
    for (const std::string& value : *into) {
      if (!gate::ParseWarningCodes(value, error)) return key.At(name + ": " + error);
    }
    return std::string();
  };
  if (name == "stub-min") return bound(values.stubMin);
  if (name == "stub-max") return bound(values.stubMax);
  if (name == "setup-min") return bound(values.setupMin);
  if (name == "setup-max") return bound(values.setupMax);
  if (name == "firmware-only") return flag(values.firmwareOnly);
  if (name == "software-only") return flag(values.softwareOnly);
  if (name == "strict") return flag(values.strict);
  if (name == "error-on") return codes(values.errorOn);
  if (name == "ignore") return codes(values.ignore);
  if (name == "exclude") {
    values.exclude = key.Strings(error);
    if (!values.exclude) return error;
    for (const std::string& glob : *values.exclude) {
      if (const std::string why = gate::GlobError(glob); !why.empty()) {
        return key.At("exclude: \"" + glob + "\" is no pattern: " + why);
      }
    }
    return {};
  }
  if (name == "waive") return ReadWaivers(key, key.node(), values);
  if (name == "trust") {
    // Trust anchors: PEM files, relative to the file's folder.
    values.trust = key.Strings(error);
    if (!values.trust) return error;
    for (std::string& file : *values.trust) {
      const fs::path anchor = gate::PathFromUtf8(file);
      file = gate::GenericUtf8(anchor.is_absolute() ? anchor : gate::PathFromUtf8(values.folder) / anchor);
    }
    return {};
  }
  if (name == "signer") {
    values.signers = key.Strings(error);
    return values.signers ? std::string() : error;
  }
  if (name == "require-signed") {
    values.requireSigned = key.Strings(error);
    if (!values.requireSigned) return error;
    for (const std::string& which : *values.requireSigned) {
      if (which != "stub" && which != "setup") {
        return key.At("require-signed: \"" + which + "\" is neither stub nor setup");
      }
    }
    return {};
  }
  if (name == "manifest") {
    // The release manifest that a scan compares with, relative to the
    // file's folder.
    const auto value = key.String(error);
    if (!value) return error;
    const fs::path manifest = gate::PathFromUtf8(*value);
    values.manifest =
        gate::GenericUtf8(manifest.is_absolute() ? manifest : gate::PathFromUtf8(values.folder) / manifest);
    return {};
  }
  return key.At("unknown key \"" + name +
                "\"; the keys are stub-min, stub-max, setup-min, setup-max, firmware-only, software-only, "
                "strict, error-on, ignore, exclude, manifest, trust, signer, require-signed and [[waive]] "
                "tables");
}

}  // namespace

std::string LoadConfig(const ConfigRequest& request, const BoundParser& parseBound, ConfigValues& values) {
  values = ConfigValues{};
  const fs::path file = FindConfigFile(request);
  if (file.empty()) return {};
  // Named relative to the current folder, as the paths of the run are, so
  // that the reports of workers whose checkouts lie elsewhere agree.
  values.file = RelativeToCurrent(file);
  values.folder = RelativeToCurrent(file.parent_path().empty() ? fs::path(".") : file.parent_path());
  const std::u16string path = gate::PathToUtf16(file.native());
  // A file found rather than named may have been put there by anyone who
  // could write a folder above the project.
  if (request.named.empty()) {
    if (const std::string why = platform::WritableByOthers(path); !why.empty()) {
      return "the configuration file \"" + values.file + "\" is not read: " + why +
             " (--config names a file to read anyway, --no-config reads none)";
    }
  }
  std::string why;
  const std::optional<std::string> text = platform::ReadWholeFile(path, kMaxConfigBytes, why);
  if (!text) return "the configuration file \"" + values.file + "\" " + why;
  const std::string name = values.file, folder = values.folder;  // ParseConfig starts values afresh
  return ParseConfig(*text, name, folder, parseBound, values);
}

std::string ParseConfig(std::string_view text, const std::string& file, const std::string& folder,
                        const BoundParser& parseBound, ConfigValues& values) {
  values = ConfigValues{};
  values.file = file;
  values.folder = folder;
  toml::table table;
  try {
    table = toml::parse(text, file);
  } catch (const toml::parse_error& e) {
    return file + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
  }
  for (const auto& entry : table) {
    const std::string name(entry.first.str());
    if (std::string error = ReadKey(KeyReader(file, entry.second, name), name, parseBound, values);
        !error.empty()) {
      return error;
    }
  }
  if (values.firmwareOnly.value_or(false) && values.softwareOnly.value_or(false)) {
    return file + ": firmware-only and software-only exclude each other";
  }
  return {};
}

}  // namespace packprobe::scan
