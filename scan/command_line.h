// The command lines of packprobe-scan and its subcommands, built from shared
// groups of options so that every subcommand selects, judges and writes
// alike, and combined with packprobe-scan.toml: an option given on the
// command line wins over the file's key of the same name, for every key.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gate/run_settings.h"
#include "report/format.h"
#include "report/report.h"
#include "scan/config.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace packprobe::scan {

enum class ProgressMode { kAuto, kAlways, kNever };
enum class ColorMode { kAuto, kAlways, kNever };

// Where a run's results go and how they look.
struct OutputOptions {
  report::Format format = report::Format::kText;
  std::string output;  // -o; empty: standard output
  std::vector<std::pair<report::Format, std::string>> also;  // more reports: format and file
  std::string summary;  // the Markdown summary's file; empty: none
  ProgressMode progress = ProgressMode::kAuto;
  bool quiet = false;
  ColorMode color = ColorMode::kAuto;
  bool colorText = false;  // the text report colours its outcomes (decided at start)
  std::size_t annotations = 10;  // GitHub annotations of each kind
  bool verbose = false;          // say on standard error what the run used
  report::GithubView github;     // from the environment
};

struct ScanOptions {
  gate::RunSettings run;
  OutputOptions out;
};

// What a parse ends in: a run with these options, or an immediate exit
// (help, version, usage error) with its text.
struct CommandLine {
  bool run = false;
  ScanOptions options;
  int exitCode = 0;
  std::string out;  // for standard output (help, version)
  std::string err;  // for standard error (usage errors)
};

// Which groups of options a command takes.
struct OptionGroups {
  bool names = false;      // PATH...
  bool selection = false;  // --files-from, -0, --exclude, --follow, --config, --no-config
  bool ranges = false;     // --stub-min ... --software-only
  bool policy = false;     // --strict, --no-strict, --error-on, --ignore
  bool run = false;        // --shard, --progress, --allow-empty, --hash, --manifest, --trust,
                           // --signer, --require-signed
  bool manifest = false;   // --manifest alone (merge: where the shards' manifest is)
  bool output = false;     // -o
  bool reports = false;    // --format, --also, --summary (and --color, -q for reports of a scan)
  report::FormatUse formats = report::FormatUse::kScan;
  bool jobs = false;       // -j
};

// The command line of one command: its options in groups, parsed by CLI11,
// then checked and combined with the configuration file.
class CommandLineParser {
 public:
  // usage names the command in messages ("packprobe-scan merge").
  CommandLineParser(CLI::App& app, std::string usage, OptionGroups groups, unsigned defaultJobs);

  // Parses arguments[0] and arguments[first] onwards. Nothing when the
  // command is to run (options() then holds what was asked); otherwise the
  // exit code once help or the usage error is printed: 0 for help shown, 74
  // when it could not be written, 64 for a usage error.
  std::optional<int> Parse(const std::vector<std::string>& arguments, std::size_t first);

  ScanOptions& options() { return options_; }
  const ConfigValues& config() const { return config_; }
  // True when the option (its long name, "stub-min") was given.
  bool Given(std::string_view name) const;
  // Prints a usage error the way every command does; returns 64.
  int UsageError(const std::string& message) const;

 private:
  void AddSelection();
  void AddRanges();
  void AddPolicy();
  void AddRun();
  void AddReports();
  // Each checks its group's options and fills them in; the usage error or
  // an empty text.
  std::string Finish();
  std::string FinishReports();
  std::string FinishRun();
  std::string FinishRanges();
  std::string FinishPolicy();
  std::string FinishSelection();
  std::string ApplyConfig();

  CLI::App& app_;
  std::string usage_;
  OptionGroups groups_;
  ScanOptions options_;
  ConfigValues config_;
  // As given, before they are checked.
  std::string format_ = "text", color_ = "auto", progress_ = "auto";
  std::string stubMin_, stubMax_, setupMin_, setupMax_;
  std::vector<std::string> errorOn_, ignore_, also_, exclude_, requireSigned_;
  std::string configFile_, shard_;
  bool noConfig_ = false, noStrict_ = false;
  std::map<std::string, const CLI::Option*, std::less<>> byName_;
};

// A version bound: four one-digit parts ("3.0.3.0"), because PACKPROBE's
// reading (drop the dots, read a number) turns anything else into a number
// that misrepresents it. Nothing, with the reason in error, for any other
// text.
std::optional<VersionNumber> ParseBound(const std::string& text, std::string& error);

// Whether the text report on standard output gets colour: always, or auto
// when standard output is a terminal and NO_COLOR is unset or empty.
bool ColorWanted(ColorMode mode, bool toStandardOutput);

// Reads "FORMAT:FILE" values of --also; the usage error, or an empty text.
std::string ParseAlso(const std::vector<std::string>& values, report::FormatUse use,
                      std::vector<std::pair<report::Format, std::string>>& also);

// Where GitHub Actions shows the run, from GITHUB_ACTIONS and
// GITHUB_WORKSPACE.
report::GithubView GithubViewOfEnvironment();

// Parses a subcommand line with no shared groups (a helper for CLI::App
// use alike everywhere): as CommandLineParser::Parse.
std::optional<int> ParseSubcommandLine(CLI::App& app, const std::vector<std::string>& arguments,
                                       std::size_t first);

}  // namespace packprobe::scan
