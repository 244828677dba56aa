#include "scan/scan_options.h"

#include <CLI/CLI.hpp>

#include <map>
#include <sstream>

#include "component/version_number.h"
#include "scan/config.h"
#include "scan/scan_record.h"
#include "scan/version.h"
#include "util/text.h"

namespace packprobe::scan {
namespace {

constexpr const char* kDescription =
    "Checks many components at once, with the version ranges and rules of PACKPROBE,\n"
    "and reports one record per component, with the reason for each failure.";

constexpr const char* kFooter =
    "PATH is a component file, or a folder searched recursively for files whose names\n"
    "end in .exe in any letter case. Every such entry gets a record, also a dangling\n"
    "link, a link loop, a pipe or a device; a folder that cannot be read gets one too,\n"
    "and the search goes on. Links to folders are searched only with --follow.\n"
    "Records come in sorted path order, whatever -j.\n"
    "\n"
    "Versions (V) are four one-digit parts, such as 3.0.3.0, compared as PACKPROBE\n"
    "compares them: the dots are dropped and the rest is a number, so 3.0.3.0 is\n"
    "3030. Any other text (3.0.10.0, 4,0,0,0, 3) is refused, because its number\n"
    "would misrepresent it; a minimum above its maximum is refused too.\n"
    "\n"
    "--shard K/N checks only the paths whose FNV-1a 64-bit hash, modulo N, is K\n"
    "(0 <= K < N). The hash is taken of the path relative to the folder named (with\n"
    "'/' between its parts), or of the path as given for files named directly, so\n"
    "workers that name the same folders split the paths the same way: the N shares\n"
    "are disjoint and together hold every path.\n"
    "\n"
    "--manifest FILE checks each component against its own entry of a release\n"
    "manifest (made by snapshot), keyed by its path relative to the folder named\n"
    "(the file name for a file named directly): version-changed, content-changed,\n"
    "metadata-changed, unexpected (no entry) and absent (an entry not found; these\n"
    "records follow the others). Version ranges, when given, still apply.\n"
    "\n"
    "Warnings (failures only with --strict or --error-on): stub-version-text,\n"
    "stub-comments-tail, setup-version-text, setup-no-file-version, duplicate-component.\n"
    "\n"
    "Configuration: packprobe-scan.toml in the first PATH's folder or above (or\n"
    "--config FILE) may hold stub-min, stub-max, setup-min, setup-max, firmware-only,\n"
    "software-only, strict, error-on, ignore, exclude and manifest; options given on\n"
    "the command line win over the file's keys of the same name.\n"
    "\n"
    "packprobe-scan merge REPORT... joins JSON Lines reports of --shard K/N runs into\n"
    "the report and exit code of one unsharded run (merge --help).\n"
    "\n"
    "-q, --quiet: no progress line; the text report has no column header and lists\n"
    "only failures and the summary.\n"
    "\n"
    "Exit codes:\n"
    "  0   every component passed or was filtered out\n"
    "  1   some version is out of range, and nothing worse\n"
    "  2   some component is missing or invalid, or a system error occurred\n"
    "  3   nothing was checked: no component found in what was named\n"
    "      (--allow-empty makes this 0)\n"
    "  4   the release differs from its manifest (--manifest), and nothing worse\n"
    "      than that; 2 outranks 4, which outranks 1\n"
    "  64  usage error\n"
    "  65  the manifest cannot be read or is malformed; merge: a report is cut,\n"
    "      malformed or of other options, or the shards do not fit\n"
    "  71  the scan could not run: no memory\n"
    "  74  the report could not be written whole (a full disk, a closed pipe)\n"
    "\n"
    "Other commands:\n"
    "  packprobe-scan snapshot PATH... [-o FILE]  write the release manifest of PATH\n"
    "  packprobe-scan diff OLD NEW                what changed between two releases\n"
    "(each with --help for its options).\n";

// A version bound: only a text that the scanner would not warn about in a
// component, four one-digit parts ("3.0.3.0"), because PACKPROBE's reading
// (drop the dots, read a number) turns anything else into a number that
// misrepresents it: "4,0,0,0" is 4 and "3.0.10.0" is 30100. Nothing, with
// the reason in error, for any other text.
std::optional<VersionNumber> ParseBound(const std::string& text, std::string& error) {
  const std::u16string wide = Utf8ToUtf16(text);
  if (!IsPlainVersionText(wide)) {
    error = "\"" + text + "\" is not a version of four one-digit parts such as 3.0.3.0";
    if (CountVersionDigits(wide) <= kMaxVersionDigits && !wide.empty()) {
      error += " (it would be read as " + std::to_string(ParseVersionNumber(wide)) +
               ", which is " + Utf16ToUtf8(FormatVersionNumber(ParseVersionNumber(wide))) + ")";
    }
    return std::nullopt;
  }
  return ParseVersionNumber(wide);
}

std::optional<Shard> ParseShard(const std::string& text) {
  const std::size_t slash = text.find('/');
  if (slash == text.npos || slash == 0 || slash + 1 == text.size()) return std::nullopt;
  Shard shard;
  try {
    std::size_t used = 0;
    const unsigned long k = std::stoul(text.substr(0, slash), &used);
    if (used != slash) return std::nullopt;
    const unsigned long n = std::stoul(text.substr(slash + 1), &used);
    if (used != text.size() - slash - 1) return std::nullopt;
    if (n < 1 || n > UINT32_MAX || k >= n) return std::nullopt;
    shard.index = static_cast<std::uint32_t>(k);
    shard.count = static_cast<std::uint32_t>(n);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (text.find_first_not_of("0123456789/") != text.npos) return std::nullopt;
  return shard;
}

CommandLine UsageError(const std::string& message) {
  CommandLine line;
  line.exitCode = kScanUsage;
  line.err = "packprobe-scan: " + message + "\nRun with --help for more information.\n";
  return line;
}

}  // namespace

CommandLine ParseScanCommandLine(const std::vector<std::string>& arguments, unsigned defaultJobs) {
  CLI::App app(kDescription, "packprobe-scan");
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("packprobe-scan ") + kProjectVersion);
  app.get_formatter()->column_width(34);

  ScanOptions options;
  options.jobs = defaultJobs;
  std::string stubMin, stubMax, setupMin, setupMax, shard;
  app.add_option("PATH", options.paths, "component files, or folders searched for *.exe")
      ->option_text(" ");
  app.add_option("--files-from", options.filesFrom,
                 "more paths, one per line (\"-\": standard input)")
      ->option_text("FILE");
  // The options are kept to ask whether they were given: the parser's
  // lookup by name allocates where it may not throw, so that running out
  // of memory there would end the process.
  CLI::Option* stubMinOption =
      app.add_option("--stub-min", stubMin, "lowest VEKStub version that passes (default 0)")
          ->option_text("V");
  CLI::Option* stubMaxOption =
      app.add_option("--stub-max", stubMax, "highest VEKStub version that passes (default 9999)")
          ->option_text("V");
  CLI::Option* setupMinOption =
      app.add_option("--setup-min", setupMin, "lowest VEKSetup version that passes (default 0)")
          ->option_text("V");
  CLI::Option* setupMaxOption =
      app.add_option("--setup-max", setupMax,
                     "highest VEKSetup version that passes (default 9999)")
          ->option_text("V");
  CLI::Option* firmware = app.add_flag("--firmware-only", options.criteria.firmwareOnly,
                                       "check only firmware components; filter out the rest");
  CLI::Option* software = app.add_flag("--software-only", options.criteria.softwareOnly,
                                       "check only software components; filter out the rest");
  firmware->excludes(software);
  const std::map<std::string, Format> formats = {
      {"text", Format::kText}, {"jsonl", Format::kJsonl}, {"csv", Format::kCsv}, {"junit", Format::kJunit},
      {"github", Format::kGithub}};
  app.add_option("--format", options.format, "text, jsonl, csv, junit or github (default: text)")
      ->transform(CLI::CheckedTransformer(formats))
      ->option_text("FORMAT");
  app.add_option("-o,--output", options.output, "write the report to FILE (default: standard output)")
      ->option_text("FILE");
  app.add_option("-j,--jobs", options.jobs, "parallel checks (default: the number of cores)")
      ->check(CLI::Range(1u, 1024u))
      ->option_text("N");
  CLI::Option* shardOption =
      app.add_option("--shard", shard,
                     "check only the K-th of N stable shares of the paths (K from 0)")
          ->option_text("K/N");
  app.add_flag("--strict", options.strict, "warnings fail the component (outcome invalid)");
  const std::map<std::string, ProgressMode> progressModes = {
      {"auto", ProgressMode::kAuto}, {"always", ProgressMode::kAlways}, {"never", ProgressMode::kNever}};
  app.add_option("--progress", options.progress,
                 "a progress line on standard error: auto (only on a terminal), always, never")
      ->transform(CLI::CheckedTransformer(progressModes))
      ->option_text("WHEN");
  app.add_flag("-q,--quiet", options.quiet, "no progress; text lists only failures and the summary");
  app.add_flag("--follow", options.follow,
               "search folders reached through symbolic links too (loops are reported)");
  app.add_flag("--allow-empty", options.allowEmpty,
               "finding no component passes (exit 0 rather than 3)");
  GateArguments gate;
  AddGateOptions(app, options, gate);
  app.add_flag("--hash", options.hash, "add each file's SHA-256 to its record");
  app.add_option("--manifest", options.manifest,
                 "check each component against its entry in this release manifest")
      ->option_text("FILE");

  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& e) {
    CommandLine line;
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    line.out = out.str();
    line.err = err.str();
    line.exitCode = code == 0 ? 0 : kScanUsage;
    return line;
  }

  for (auto [text, bound, name, option] :
       {std::tuple{&stubMin, &options.criteria.stubMin, "--stub-min", stubMinOption},
        std::tuple{&stubMax, &options.criteria.stubMax, "--stub-max", stubMaxOption},
        std::tuple{&setupMin, &options.criteria.setupMin, "--setup-min", setupMinOption},
        std::tuple{&setupMax, &options.criteria.setupMax, "--setup-max", setupMaxOption}}) {
    if (option->count() == 0) continue;
    std::string error;
    const std::optional<VersionNumber> value = ParseBound(*text, error);
    if (!value) return UsageError(std::string(name) + ": " + error);
    *bound = *value;
  }
  if (shardOption->count() != 0) {
    options.shard = ParseShard(shard);
    if (!options.shard) {
      return UsageError("--shard: \"" + shard + "\" is not K/N with 0 <= K < N");
    }
  }
  // The configuration file fills in what the command line did not give.
  const std::string gateError = FinishGateOptions(options, gate, ParseBound);
  if (!gateError.empty()) return UsageError(gateError);
  // A minimum above its maximum (from the command line, the configuration
  // file or both) fails every component; say so rather than fail the
  // release without a hint.
  for (auto [min, max, minName, maxName] :
       {std::tuple{options.criteria.stubMin, options.criteria.stubMax, "--stub-min", "--stub-max"},
        std::tuple{options.criteria.setupMin, options.criteria.setupMax, "--setup-min",
                   "--setup-max"}}) {
    if (min > max) {
      return UsageError(std::string(minName) + " " + Utf16ToUtf8(FormatVersionNumber(min)) +
                        " is above " + maxName + " " + Utf16ToUtf8(FormatVersionNumber(max)) +
                        ": no component could pass");
    }
  }
  if (options.paths.empty() && options.filesFrom.empty()) {
    return UsageError("no components named: give a PATH or --files-from");
  }
  CommandLine line;
  line.run = true;
  line.options = std::move(options);
  return line;
}

}  // namespace packprobe::scan
