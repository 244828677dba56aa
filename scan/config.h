// The gate's options beyond the check itself: the policy for warnings, the
// selection of paths, the outputs, and the configuration file
// packprobe-scan.toml that keeps ranges, policy and excludes in the
// repository.
#pragma once

#include <functional>
#include <map>
#include <string_view>
#include <optional>
#include <string>
#include <vector>

#include "component/version_number.h"
#include "scan/scan_options.h"

namespace CLI {
class App;
class Option;
}

namespace packprobe::scan {

// The name searched for in the scanned folder and its ancestors.
inline constexpr const char* kConfigFileName = "packprobe-scan.toml";

// What the command line gave for the gate's options, before they are
// checked and combined with the configuration file.
struct GateArguments {
  std::vector<std::string> errorOn;
  std::vector<std::string> ignore;
  std::vector<std::string> also;  // "FORMAT:FILE"
  std::string config;
  bool noConfig = false;
  bool noStrict = false;
  // Every option of the command line by its long name ("stub-min"), to ask
  // whether it was given: CLI::App's lookups by name cannot report running
  // out of memory (they are noexcept), these pointers need no lookup.
  std::map<std::string, const CLI::Option*, std::less<>> byName;

  bool Given(std::string_view name) const;
};

// Adds the gate's options to the command line: --error-on, --ignore,
// --exclude, -0/--null, --color, --also, --summary, --config, --no-config
// and --no-strict. Values land in options and arguments.
void AddGateOptions(CLI::App& app, ScanOptions& options, GateArguments& arguments);

// Reads a range bound; nothing, with why in error, when it is no bound.
using BoundParser = std::function<std::optional<VersionNumber>(const std::string& text, std::string& error)>;

// After the command line is parsed: checks the gate's options, reads the
// configuration file (--config, or the first packprobe-scan.toml in the
// first named path's folder or its ancestors, unless --no-config), and
// fills in what the command line did not give: an option given on the
// command line wins over the file's key of the same name (a list replaces
// the file's list). Decides the colour and the default summary file.
// Returns the usage error, or an empty text when all is well.
std::string FinishGateOptions(ScanOptions& options, GateArguments& arguments,
                              const BoundParser& parseBound);

// The format of a name ("text", "jsonl", "csv", "junit", "github").
std::optional<Format> FormatFromName(std::string_view name);

// Reads "FORMAT:FILE" values of --also into options.also; the usage error,
// or an empty text.
std::string ParseAlso(const std::vector<std::string>& values, ScanOptions& options);

// Whether the text report on standard output gets colour: --color always,
// or auto when standard output is a terminal and NO_COLOR is unset or empty.
bool ColorWanted(ColorMode mode, bool toStandardOutput);

// The summary file when none was named: $GITHUB_STEP_SUMMARY when it is set
// and the format is github.
std::string DefaultSummaryFile(Format format);

}  // namespace packprobe::scan
