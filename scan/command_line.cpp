#include "scan/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <tuple>

#include "gate/exit_codes.h"
#include "gate/policy.h"
#include "gate/record.h"
#include "gate/selection.h"
#include "gate/targets.h"
#include "scan/host.h"
#include "scan/outputs.h"
#include "util/text.h"

namespace packprobe::scan {
namespace {

// The value of an option that takes one of a few names; nothing, with a
// message listing them, for any other text.
template <typename Value>
std::optional<Value> Choose(const std::string& option, const std::string& text,
                            std::initializer_list<std::pair<const char*, Value>> names, std::string& error) {
  std::string list;
  std::size_t i = 0;
  for (const auto& [name, value] : names) {
    if (text == name) return value;
    list += std::string(i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + name;
    ++i;
  }
  error = option + ": \"" + text + "\" is not " + list;
  return std::nullopt;
}

// The codes of --error-on or --ignore values, each once.
bool AddCodes(const std::vector<std::string>& values, const char* option, std::vector<std::string>& into,
              std::string& error) {
  for (const std::string& value : values) {
    const auto parsed = gate::ParseWarningCodes(value, error);
    if (!parsed) {
      error = std::string(option) + ": " + error;
      return false;
    }
    for (const std::string& code : *parsed) {
      if (std::find(into.begin(), into.end(), code) == into.end()) into.push_back(code);
    }
  }
  return true;
}

// The programs of --require-signed values ("stub", "setup", "stub,setup").
bool ParseRequireSigned(const std::vector<std::string>& values, const std::string& option,
                        gate::SigningPolicy& signing, std::string& error) {
  for (const std::string& value : values) {
    std::string_view list = value;
    while (true) {
      const std::size_t comma = list.find(',');
      const std::string_view which = list.substr(0, comma);
      if (which == "stub") {
        signing.requireStub = true;
      } else if (which == "setup") {
        signing.requireSetup = true;
      } else {
        error = option + ": \"" + std::string(which) + "\" is neither stub nor setup";
        return false;
      }
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
    }
  }
  return true;
}

// A code on both lists: the command line's list wins over the file's; two
// lists from the same source contradict each other.
std::string Reconcile(gate::Policy& policy, bool errorOnFromCommandLine, bool ignoreFromCommandLine,
                      const std::string& fileName) {
  for (auto it = policy.errorOn.begin(); it != policy.errorOn.end();) {
    const auto other = std::find(policy.ignore.begin(), policy.ignore.end(), *it);
    if (other == policy.ignore.end()) {
      ++it;
    } else if (errorOnFromCommandLine == ignoreFromCommandLine) {
      return "the warning " + *it + " is both in " +
             (errorOnFromCommandLine ? std::string("--error-on and --ignore")
                                     : "error-on and ignore of " + fileName);
    } else if (errorOnFromCommandLine) {
      policy.ignore.erase(other);
      ++it;
    } else {
      it = policy.errorOn.erase(it);
    }
  }
  return {};
}

std::string Display(VersionNumber value) { return Utf16ToUtf8(FormatVersionNumber(value)); }

}  // namespace

std::optional<VersionNumber> ParseBound(const std::string& text, std::string& error) {
  const std::u16string wide = Utf8ToUtf16(text);
  if (!gate::IsPlainVersionText(wide)) {
    error = "\"" + text + "\" is not a version of four one-digit parts such as 3.0.3.0";
    if (CountVersionDigits(wide) <= kMaxVersionDigits && !wide.empty()) {
      error += " (it would be read as " + std::to_string(ParseVersionNumber(wide)) + ", which is " +
               Display(ParseVersionNumber(wide)) + ")";
    }
    return std::nullopt;
  }
  return ParseVersionNumber(wide);
}

bool ColorWanted(ColorMode mode, bool toStandardOutput) {
  if (mode != ColorMode::kAuto) return mode == ColorMode::kAlways;
  const std::optional<std::string> noColor = EnvironmentVariable("NO_COLOR");
  return toStandardOutput && (!noColor || noColor->empty()) && StandardOutputIsTerminal();
}

std::string ParseAlso(const std::vector<std::string>& values, report::FormatUse use,
                      std::vector<std::pair<report::Format, std::string>>& also) {
  for (const std::string& value : values) {
    const std::size_t colon = value.find(':');
    const std::optional<report::Format> format =
        colon == value.npos ? std::nullopt
                            : report::FormatFromName(std::string_view(value).substr(0, colon), use);
    if (!format || colon + 1 == value.size()) {
      return "--also: \"" + value + "\" is not FORMAT:FILE with FORMAT " + report::FormatNames(use);
    }
    also.emplace_back(*format, value.substr(colon + 1));
  }
  return {};
}

report::GithubView GithubViewOfEnvironment() {
  report::GithubView view;
  view.actions = EnvironmentVariable("GITHUB_ACTIONS").value_or("") == "true";
  const std::string workspace = EnvironmentVariable("GITHUB_WORKSPACE").value_or("");
  if (!workspace.empty()) {
    view.workspace = gate::AbsoluteGeneric(gate::PathFromUtf8(workspace));
    view.currentFolder = gate::AbsoluteGeneric(".");
  }
  return view;
}

std::optional<int> ParseSubcommandLine(CLI::App& app, const std::vector<std::string>& arguments,
                                       std::size_t first) {
  std::vector<const char*> argv;
  if (!arguments.empty()) argv.push_back(arguments[0].c_str());
  for (std::size_t i = first; i < arguments.size(); ++i) argv.push_back(arguments[i].c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    std::fputs(out.str().c_str(), stdout);
    std::fputs(err.str().c_str(), stderr);
    std::fflush(stderr);
    if (code != 0) return gate::kScanUsage;
    // Help that could not be printed is no success either.
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? gate::kScanPassed : gate::kScanOutputError;
  }
}

CommandLineParser::CommandLineParser(CLI::App& app, std::string usage, OptionGroups groups, unsigned defaultJobs)
    : app_(app), usage_(std::move(usage)), groups_(groups) {
  app.get_formatter()->column_width(34);
  options_.run.jobs = defaultJobs;
  if (groups.names) {
    app.add_option("PATH", options_.run.selection.paths, "component files, or folders searched for *.exe")
        ->option_text(" ");
  }
  if (groups.selection) AddSelection();
  if (groups.ranges) AddRanges();
  if (groups.reports) {
    app.add_option("--format", format_, report::FormatNames(groups.formats) + " (default: text)")
        ->option_text("FORMAT");
  }
  if (groups.output) {
    app.add_option("-o,--output", options_.out.output,
                   "write to FILE, replaced when whole (default: standard output)")
        ->option_text("FILE");
  }
  if (groups.jobs) {
    app.add_option("-j,--jobs", options_.run.jobs, "parallel checks (default: the processors allowed)")
        ->check(CLI::Range(1u, 1024u))
        ->option_text("N");
  }
  if (groups.run) {
    app.add_option("--shard", shard_, "check only the K-th of N stable shares of the paths (K from 0)")
        ->option_text("K/N");
  }
  if (groups.policy) AddPolicy();
  if (groups.run) AddRun();
  if (groups.run || groups.manifest) {
    app.add_option("--manifest", options_.run.manifest,
                   groups.run ? "check each component against its entry in this release manifest"
                              : "the release manifest the shards were checked against (default: the one "
                                "their header names)")
        ->option_text("FILE");
  }
  if (groups.reports) AddReports();
}

void CommandLineParser::AddSelection() {
  gate::Selection& selection = options_.run.selection;
  app_.add_option("--files-from", selection.filesFrom, "more paths, one per line (\"-\": standard input)")
      ->option_text("FILE");
  app_.add_flag("-0,--null", selection.nullSeparated, "--files-from lists paths ended by NUL bytes");
  app_.add_option("--exclude", exclude_, "do not check paths matching GLOB (repeatable)")
      ->option_text("GLOB")
      ->allow_extra_args(false);
  app_.add_flag("--follow", selection.follow, "search folders reached through symbolic links too (loops are reported)");
  CLI::Option* config = app_.add_option("--config", configFile_,
                                        "read the configuration from FILE (default: packprobe-scan.toml in the "
                                        "folder or above, up to the repository's root)")
                            ->option_text("FILE");
  app_.add_flag("--no-config", noConfig_, "read no configuration file")->excludes(config);
}

void CommandLineParser::AddRanges() {
  CheckCriteria& criteria = options_.run.criteria;
  app_.add_option("--stub-min", stubMin_, "lowest VEKStub version that passes (default 0)")->option_text("V");
  app_.add_option("--stub-max", stubMax_, "highest VEKStub version that passes (default 9999)")->option_text("V");
  app_.add_option("--setup-min", setupMin_, "lowest VEKSetup version that passes (default 0)")->option_text("V");
  app_.add_option("--setup-max", setupMax_, "highest VEKSetup version that passes (default 9999)")->option_text("V");
  CLI::Option* firmware =
      app_.add_flag("--firmware-only", criteria.firmwareOnly, "check only firmware components; filter out the rest");
  CLI::Option* software =
      app_.add_flag("--software-only", criteria.softwareOnly, "check only software components; filter out the rest");
  firmware->excludes(software);
}

void CommandLineParser::AddPolicy() {
  app_.add_flag("--strict", options_.run.policy.strict, "warnings fail the component (outcome invalid)");
  app_.add_flag("--no-strict", noStrict_, "warnings do not fail (overrides strict of the file or the shards)");
  app_.add_option("--error-on", errorOn_, "these warnings fail the component (CODE,...)")
      ->option_text("CODES")
      ->allow_extra_args(false);
  app_.add_option("--ignore", ignore_, "these warnings are dropped (CODE,...)")
      ->option_text("CODES")
      ->allow_extra_args(false);
}

void CommandLineParser::AddRun() {
  app_.add_option("--progress", progress_, "a progress line on standard error: auto (only on a terminal), always, never")
      ->option_text("WHEN");
  app_.add_flag("--allow-empty", options_.run.allowEmpty, "finding no component passes (exit 0 rather than 3)");
  app_.add_flag("--hash", options_.run.hash, "add each file's SHA-256 to its record");
  gate::SigningPolicy& signing = options_.run.signing;
  app_.add_option("--trust", signing.trust, "trust the PEM certificates in FILE as roots of signatures (repeatable)")
      ->option_text("FILE")
      ->allow_extra_args(false);
  app_.add_option("--signer", signing.signers,
                  "only this signer may sign: a SHA-256 fingerprint or a subject (repeatable)")
      ->option_text("WHO")
      ->allow_extra_args(false);
  app_.add_option("--require-signed", requireSigned_,
                  "these programs must carry a valid signature: stub, setup or stub,setup")
      ->option_text("WHICH")
      ->allow_extra_args(false);
  app_.add_flag("-v,--verbose", options_.out.verbose,
                "say on standard error which configuration file, exclude patterns and waivers were used");
}

void CommandLineParser::AddReports() {
  app_.add_option("--also", also_, "also write the report as FORMAT to FILE (repeatable)")
      ->option_text("FORMAT:FILE")
      ->allow_extra_args(false);
  app_.add_option("--summary", options_.out.summary,
                  groups_.formats == report::FormatUse::kScan
                      ? "append a Markdown summary to FILE (default with --format github: $GITHUB_STEP_SUMMARY)"
                      : "append a Markdown summary to FILE")
      ->option_text("FILE");
  if (groups_.formats == report::FormatUse::kScan) {
    app_.add_option("--color", color_, "colour outcomes in the text report: auto (a terminal, no NO_COLOR), always, never")
        ->option_text("WHEN");
    app_.add_flag("-q,--quiet", options_.out.quiet, "no progress; text lists only failures and the summary");
    app_.add_option("--annotations", options_.out.annotations,
                    "GitHub annotations of each kind, errors and warnings (default: 10, what a step shows)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1000}))
        ->option_text("N");
  }
}

bool CommandLineParser::Given(std::string_view name) const {
  const auto it = byName_.find(name);
  return it != byName_.end() && it->second->count() != 0;
}

int CommandLineParser::UsageError(const std::string& message) const {
  const std::string text = usage_ + ": " + message + "\nRun with --help for more information.\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  return gate::kScanUsage;
}

std::optional<int> CommandLineParser::Parse(const std::vector<std::string>& arguments, std::size_t first) {
  // Kept to ask whether an option was given: the parser's lookups by name
  // cannot report running out of memory (they are noexcept).
  for (const CLI::Option* option : app_.get_options()) {
    for (const std::string& name : option->get_lnames()) byName_.emplace(name, option);
  }
  if (const std::optional<int> done = ParseSubcommandLine(app_, arguments, first)) return done;
  if (std::string error = Finish(); !error.empty()) return UsageError(error);
  return std::nullopt;
}

std::string CommandLineParser::Finish() {
  std::string error;
  if (groups_.reports && !(error = FinishReports()).empty()) return error;
  if (groups_.run && !(error = FinishRun()).empty()) return error;
  if (groups_.ranges && !(error = FinishRanges()).empty()) return error;
  if (groups_.policy && !(error = FinishPolicy()).empty()) return error;
  if (groups_.selection && !(error = FinishSelection()).empty()) return error;
  OutputOptions& out = options_.out;
  if (groups_.reports) {
    out.colorText = out.format == report::Format::kText && ColorWanted(out.color, out.output.empty());
    if (out.summary.empty() && out.format == report::Format::kGithub) {
      out.summary = EnvironmentVariable("GITHUB_STEP_SUMMARY").value_or("");
    }
    out.github = GithubViewOfEnvironment();
  }
  return CheckDistinctOutputs(out.output, out.also, out.summary);
}

std::string CommandLineParser::FinishReports() {
  OutputOptions& out = options_.out;
  std::string error;
  const std::optional<report::Format> format = report::FormatFromName(format_, groups_.formats);
  if (!format) return "--format: \"" + format_ + "\" is not " + report::FormatNames(groups_.formats);
  out.format = *format;
  if (groups_.formats == report::FormatUse::kScan) {
    const auto color = Choose<ColorMode>(
        "--color", color_, {{"auto", ColorMode::kAuto}, {"always", ColorMode::kAlways}, {"never", ColorMode::kNever}},
        error);
    if (!color) return error;
    out.color = *color;
  }
  return ParseAlso(also_, groups_.formats, out.also);
}

std::string CommandLineParser::FinishRun() {
  std::string error;
  const auto progress = Choose<ProgressMode>(
      "--progress", progress_,
      {{"auto", ProgressMode::kAuto}, {"always", ProgressMode::kAlways}, {"never", ProgressMode::kNever}}, error);
  if (!progress) return error;
  options_.out.progress = *progress;
  if (!ParseRequireSigned(requireSigned_, "--require-signed", options_.run.signing, error)) return error;
  if (Given("shard")) {
    options_.run.shard = gate::ParseShard(shard_);
    if (!options_.run.shard) return "--shard: \"" + shard_ + "\" is not K/N with 0 <= K < N";
  }
  return {};
}

std::string CommandLineParser::FinishRanges() {
  CheckCriteria& criteria = options_.run.criteria;
  std::string error;
  for (auto [text, bound, name] : {std::tuple{&stubMin_, &criteria.stubMin, "stub-min"},
                                   std::tuple{&stubMax_, &criteria.stubMax, "stub-max"},
                                   std::tuple{&setupMin_, &criteria.setupMin, "setup-min"},
                                   std::tuple{&setupMax_, &criteria.setupMax, "setup-max"}}) {
    if (!Given(name)) continue;
    const std::optional<VersionNumber> value = ParseBound(*text, error);
    if (!value) return "--" + std::string(name) + ": " + error;
    *bound = *value;
  }
  return {};
}

std::string CommandLineParser::FinishPolicy() {
  gate::Policy& policy = options_.run.policy;
  std::string error;
  if (noStrict_ && policy.strict) return "--strict and --no-strict exclude each other";
  if (!AddCodes(errorOn_, "--error-on", policy.errorOn, error)) return error;
  if (!AddCodes(ignore_, "--ignore", policy.ignore, error)) return error;
  return {};
}

std::string CommandLineParser::FinishSelection() {
  gate::RunSettings& run = options_.run;
  for (const std::string& glob : exclude_) {
    if (const std::string why = gate::GlobError(glob); !why.empty()) {
      return "--exclude: \"" + glob + "\" is no pattern: " + why;
    }
    run.selection.exclude.push_back({glob, {}});
  }
  const ConfigRequest request{configFile_, noConfig_,
                              run.selection.paths.empty() ? std::string() : run.selection.paths.front()};
  if (std::string error = LoadConfig(request, ParseBound, config_); !error.empty()) return error;
  run.config = config_.file;
  return ApplyConfig();
}

std::string CommandLineParser::ApplyConfig() {
  // The file fills in what the command line did not give.
  gate::RunSettings& run = options_.run;
  const ConfigValues& file = config_;
  if (groups_.ranges) {
    for (auto [value, bound, name] : {std::tuple{&file.stubMin, &run.criteria.stubMin, "stub-min"},
                                      std::tuple{&file.stubMax, &run.criteria.stubMax, "stub-max"},
                                      std::tuple{&file.setupMin, &run.criteria.setupMin, "setup-min"},
                                      std::tuple{&file.setupMax, &run.criteria.setupMax, "setup-max"}}) {
      if (*value && !Given(name)) *bound = **value;
    }
    // The role filter is one choice: either option on the command line
    // replaces both keys of the file.
    if (!Given("firmware-only") && !Given("software-only")) {
      run.criteria.firmwareOnly = file.firmwareOnly.value_or(false);
      run.criteria.softwareOnly = file.softwareOnly.value_or(false);
    }
    // A minimum above its maximum (from the command line, the file or
    // both) fails every component; say so rather than fail the release
    // without a hint.
    for (auto [min, max, minName, maxName] :
         {std::tuple{run.criteria.stubMin, run.criteria.stubMax, "--stub-min", "--stub-max"},
          std::tuple{run.criteria.setupMin, run.criteria.setupMax, "--setup-min", "--setup-max"}}) {
      if (min > max) {
        return std::string(minName) + " " + Display(min) + " is above " + maxName + " " + Display(max) +
               ": no component could pass";
      }
    }
  }
  if (groups_.policy) {
    if (file.strict && !Given("strict") && !noStrict_) run.policy.strict = *file.strict;
    if (noStrict_) run.policy.strict = false;
    const bool errorOnFromFile = file.errorOn && !Given("error-on");
    const bool ignoreFromFile = file.ignore && !Given("ignore");
    if (errorOnFromFile) run.policy.errorOn = *file.errorOn;
    if (ignoreFromFile) run.policy.ignore = *file.ignore;
    if (std::string error = Reconcile(run.policy, !errorOnFromFile, !ignoreFromFile, file.file); !error.empty()) {
      return error;
    }
    run.policy.waivers = file.waivers;
  }
  if (file.exclude && !Given("exclude")) {
    // The file's patterns are relative to its own folder, as ignore files'.
    for (const std::string& glob : *file.exclude) run.selection.exclude.push_back({glob, file.folder});
  }
  if (groups_.run && file.manifest && !Given("manifest")) run.manifest = *file.manifest;
  if (groups_.run) {
    if (file.trust && !Given("trust")) run.signing.trust = *file.trust;
    if (file.signers && !Given("signer")) run.signing.signers = *file.signers;
    if (file.requireSigned && !Given("require-signed")) {
      std::string error;
      if (!ParseRequireSigned(*file.requireSigned, file.file + ": require-signed", run.signing, error)) return error;
    }
  }
  return {};
}

}  // namespace packprobe::scan
