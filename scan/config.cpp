#include "scan/config.h"

#include <CLI/CLI.hpp>
#include <toml++/toml.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

#include "platform/stdio_file.h"
#include "scan/host.h"
#include "scan/outputs.h"
#include "scan/policy.h"
#include "scan/targets.h"

namespace packprobe::scan {
namespace fs = std::filesystem;
namespace {

// A configuration file larger than this is no configuration file.
constexpr std::size_t kMaxConfigBytes = 1 << 20;

// The configuration file to read: the one named, or the first found from
// the first named path upwards; empty when there is none.
fs::path FindConfigFile(const ScanOptions& options, const GateArguments& arguments) {
  if (!arguments.config.empty()) return PathFromUtf8(arguments.config);
  if (arguments.noConfig) return {};
  std::error_code error;
  fs::path start = options.paths.empty() ? fs::current_path(error) : PathFromUtf8(options.paths.front());
  if (error) return {};
  if (!fs::is_directory(start, error)) start = start.parent_path();
  if (start.empty()) start = ".";
  start = fs::absolute(start, error);
  if (error) return {};
  for (fs::path folder = start.lexically_normal();; folder = folder.parent_path()) {
    // Joined as text: a path's operator/ cannot survive a failed
    // allocation in the standard library used here (it crashes).
    fs::path::string_type joined = folder.native();
    if (!joined.empty() && joined.back() != fs::path::preferred_separator) {
      joined += fs::path::preferred_separator;
    }
    for (const char* c = kConfigFileName; *c != '\0'; ++c) {
      joined += static_cast<fs::path::value_type>(*c);
    }
    const fs::path candidate(std::move(joined));
    if (fs::is_regular_file(candidate, error)) return candidate;
    if (folder == folder.parent_path() || folder.empty()) return {};
  }
}

// One key of the file, with the line it stands on for messages.
class ConfigReader {
 public:
  ConfigReader(std::string name) : name_(std::move(name)) {}

  std::string At(const toml::node& node, const std::string& message) const {
    return name_ + ":" + std::to_string(node.source().begin.line) + ": " + message;
  }

  std::optional<std::string> String(const toml::node& node, const std::string& key, std::string& error) const {
    if (const auto value = node.value_exact<std::string>()) return *value;
    error = At(node, key + " must be a string (in quotes)");
    return std::nullopt;
  }

  std::optional<bool> Bool(const toml::node& node, const std::string& key, std::string& error) const {
    if (const auto value = node.value_exact<bool>()) return *value;
    error = At(node, key + " must be true or false");
    return std::nullopt;
  }

  std::optional<std::vector<std::string>> Strings(const toml::node& node, const std::string& key,
                                                  std::string& error) const {
    const toml::array* array = node.as_array();
    if (array == nullptr) {
      error = At(node, key + " must be a list of strings, like [\"a\", \"b\"]");
      return std::nullopt;
    }
    std::vector<std::string> values;
    for (const toml::node& element : *array) {
      const auto value = element.value_exact<std::string>();
      if (!value) {
        error = At(element, key + " must be a list of strings, like [\"a\", \"b\"]");
        return std::nullopt;
      }
      values.push_back(*value);
    }
    return values;
  }

 private:
  std::string name_;
};

// A code on both lists: the command line's list wins over the file's; two
// lists from the same source contradict each other.
std::string Reconcile(ScanOptions& options, bool errorOnFromCommandLine, bool ignoreFromCommandLine,
                      const std::string& fileName) {
  for (auto it = options.errorOn.begin(); it != options.errorOn.end();) {
    const auto other = std::find(options.ignore.begin(), options.ignore.end(), *it);
    if (other == options.ignore.end()) {
      ++it;
    } else if (errorOnFromCommandLine == ignoreFromCommandLine) {
      return "the warning " + *it + " is both in " +
             (errorOnFromCommandLine ? std::string("--error-on and --ignore")
                                     : "error-on and ignore of " + fileName);
    } else if (errorOnFromCommandLine) {
      options.ignore.erase(other);
      ++it;
    } else {
      it = options.errorOn.erase(it);
    }
  }
  return {};
}

}  // namespace

std::optional<Format> FormatFromName(std::string_view name) {
  static const std::map<std::string, Format, std::less<>> formats = {
      {"text", Format::kText}, {"jsonl", Format::kJsonl}, {"csv", Format::kCsv},
      {"junit", Format::kJunit}, {"github", Format::kGithub}};
  const auto it = formats.find(name);
  if (it == formats.end()) return std::nullopt;
  return it->second;
}

std::string ParseAlso(const std::vector<std::string>& values, ScanOptions& options) {
  for (const std::string& value : values) {
    const std::size_t colon = value.find(':');
    const std::optional<Format> format =
        colon == value.npos ? std::nullopt : FormatFromName(std::string_view(value).substr(0, colon));
    if (!format || colon + 1 == value.size()) {
      return "--also: \"" + value + "\" is not FORMAT:FILE with FORMAT text, jsonl, csv, junit or github";
    }
    options.also.emplace_back(*format, value.substr(colon + 1));
  }
  return {};
}

bool ColorWanted(ColorMode mode, bool toStandardOutput) {
  if (mode != ColorMode::kAuto) return mode == ColorMode::kAlways;
  const std::optional<std::string> noColor = EnvironmentVariable("NO_COLOR");
  return toStandardOutput && (!noColor || noColor->empty()) && StandardOutputIsTerminal();
}

std::string DefaultSummaryFile(Format format) {
  if (format != Format::kGithub) return {};
  return EnvironmentVariable("GITHUB_STEP_SUMMARY").value_or("");
}

void AddGateOptions(CLI::App& app, ScanOptions& options, GateArguments& arguments) {
  app.add_option("--error-on", arguments.errorOn, "these warnings fail the component (CODE,...)")
      ->option_text("CODES")
      ->allow_extra_args(false);
  app.add_option("--ignore", arguments.ignore, "these warnings are dropped (CODE,...)")
      ->option_text("CODES")
      ->allow_extra_args(false);
  app.add_flag("--no-strict", arguments.noStrict, "warnings do not fail (overrides the file's strict)");
  app.add_option("--exclude", options.exclude, "do not check paths matching GLOB (repeatable)")
      ->option_text("GLOB")
      ->allow_extra_args(false);
  app.add_flag("-0,--null", options.nullSeparated, "--files-from lists paths ended by NUL bytes");
  const std::map<std::string, ColorMode> colorModes = {
      {"auto", ColorMode::kAuto}, {"always", ColorMode::kAlways}, {"never", ColorMode::kNever}};
  app.add_option("--color", options.color,
                 "colour outcomes in the text report: auto (a terminal, no NO_COLOR), always, never")
      ->transform(CLI::CheckedTransformer(colorModes))
      ->option_text("WHEN");
  app.add_option("--also", arguments.also, "also write the report as FORMAT to FILE (repeatable)")
      ->option_text("FORMAT:FILE")
      ->allow_extra_args(false);
  app.add_option("--summary", options.summary,
                 "append a Markdown summary to FILE (default with --format github: $GITHUB_STEP_SUMMARY)")
      ->option_text("FILE");
  CLI::Option* config = app.add_option("--config", arguments.config,
                                       "read the configuration from FILE (default: packprobe-scan.toml "
                                       "in the folder or above)")
                            ->option_text("FILE");
  app.add_flag("--no-config", arguments.noConfig, "read no configuration file")->excludes(config);
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) arguments.byName.emplace(name, option);
  }
}

bool GateArguments::Given(std::string_view name) const {
  const auto it = byName.find(name);
  return it != byName.end() && it->second->count() != 0;
}

std::string FinishGateOptions(ScanOptions& options, GateArguments& arguments,
                              const BoundParser& parseBound) {
  std::string error;
  if (arguments.noStrict && options.strict) return "--strict and --no-strict exclude each other";
  if (arguments.noStrict) options.strict = false;
  const auto codes = [&](const std::vector<std::string>& values, const char* name,
                         std::vector<std::string>& into) {
    for (const std::string& value : values) {
      const auto parsed = ParseWarningCodes(value, error);
      if (!parsed) {
        error = std::string(name) + ": " + error;
        return false;
      }
      for (const std::string& code : *parsed) {
        if (std::find(into.begin(), into.end(), code) == into.end()) into.push_back(code);
      }
    }
    return true;
  };
  if (!codes(arguments.errorOn, "--error-on", options.errorOn)) return error;
  if (!codes(arguments.ignore, "--ignore", options.ignore)) return error;
  if (error = ParseAlso(arguments.also, options); !error.empty()) return error;
  for (const std::string& glob : options.exclude) {
    if (glob.empty()) return "--exclude: an empty pattern matches nothing";
  }

  const fs::path file = FindConfigFile(options, arguments);
  std::string fileName = GenericUtf8(file);
  bool errorOnFromFile = false, ignoreFromFile = false;
  if (!file.empty()) {
    const platform::StdioFile opened = platform::OpenStreamForReading(PathToUtf16(file.native()));
    std::FILE* stream = opened.get();
    if (stream == nullptr) return "cannot read the configuration file \"" + fileName + "\"";
    std::string text;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0 && text.size() <= kMaxConfigBytes) {
      text.append(buffer, n);
    }
    const bool failed = std::ferror(stream) != 0;
    if (failed) return "cannot read the configuration file \"" + fileName + "\"";
    if (text.size() > kMaxConfigBytes) return fileName + ": larger than 1 MiB: no configuration file";

    toml::table table;
    try {
      table = toml::parse(text, fileName);
    } catch (const toml::parse_error& e) {
      return fileName + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
    }
    const ConfigReader reader(fileName);
    const bool cliRole = arguments.Given("firmware-only") || arguments.Given("software-only");
    for (const auto& entry : table) {
      // Named, not a structured binding, so that the lambdas below may
      // capture it with every compiler the project builds with.
      const toml::node& node = entry.second;
      const std::string name(entry.first.str());
      const auto bound = [&](const char* option, VersionNumber& into) -> bool {
        const auto text = reader.String(node, name, error);
        if (!text) return false;
        const std::optional<VersionNumber> value = parseBound(*text, error);
        if (!value) {
          error = reader.At(node, name + ": " + error);
          return false;
        }
        if (!arguments.Given(option)) into = *value;
        return true;
      };
      const auto flag = [&](bool given, bool& into) -> bool {
        const auto value = reader.Bool(node, name, error);
        if (!value) return false;
        if (!given) into = *value;
        return true;
      };
      const auto list = [&](const char* option, std::vector<std::string>& into, bool checkCodes,
                            bool& fromFile) -> bool {
        auto values = reader.Strings(node, name, error);
        if (!values) return false;
        if (checkCodes) {
          for (const std::string& value : *values) {
            if (!ParseWarningCodes(value, error)) {
              error = reader.At(node, name + ": " + error);
              return false;
            }
          }
        }
        if (!arguments.Given(option)) {
          into = std::move(*values);
          fromFile = true;
        }
        return true;
      };
      bool unused = false;
      bool ok;
      if (name == "stub-min") ok = bound("stub-min", options.criteria.stubMin);
      else if (name == "stub-max") ok = bound("stub-max", options.criteria.stubMax);
      else if (name == "setup-min") ok = bound("setup-min", options.criteria.setupMin);
      else if (name == "setup-max") ok = bound("setup-max", options.criteria.setupMax);
      else if (name == "firmware-only") ok = flag(cliRole, options.criteria.firmwareOnly);
      else if (name == "software-only") ok = flag(cliRole, options.criteria.softwareOnly);
      else if (name == "strict") ok = flag(arguments.Given("strict") || arguments.noStrict, options.strict);
      else if (name == "error-on") ok = list("error-on", options.errorOn, true, errorOnFromFile);
      else if (name == "ignore") ok = list("ignore", options.ignore, true, ignoreFromFile);
      else if (name == "exclude") ok = list("exclude", options.exclude, false, unused);
      else if (name == "manifest") {
        // The release manifest that a scan compares with: kept as written,
        // relative to the file's folder.
        const auto value = reader.String(node, name, error);
        ok = value.has_value();
        if (ok) {
          const fs::path manifest = PathFromUtf8(*value);
          options.manifest = GenericUtf8(manifest.is_absolute() ? manifest : file.parent_path() / manifest);
        }
      } else {
        error = reader.At(node, "unknown key \"" + name +
                                    "\"; the keys are stub-min, stub-max, setup-min, setup-max, "
                                    "firmware-only, software-only, strict, error-on, ignore, "
                                    "exclude, manifest");
        ok = false;
      }
      if (!ok) return error;
    }
    if (options.criteria.firmwareOnly && options.criteria.softwareOnly) {
      return fileName + ": firmware-only and software-only exclude each other";
    }
  }
  if (error = Reconcile(options, !errorOnFromFile, !ignoreFromFile, fileName); !error.empty()) {
    return error;
  }
  options.colorText = options.format == Format::kText && ColorWanted(options.color, options.output.empty());
  if (options.summary.empty()) options.summary = DefaultSummaryFile(options.format);
  return CheckDistinctOutputs(options);
}

}  // namespace packprobe::scan
