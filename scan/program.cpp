#include "scan/program.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/process.h"
#include "platform/report_file.h"
#include "platform/stdio_file.h"
#include "scan/diff.h"
#include "scan/host.h"
#include "scan/manifest.h"
#include "scan/merge.h"
#include "scan/outputs.h"
#include "scan/policy.h"
#include "scan/report.h"
#include "scan/scan_options.h"
#include "scan/scanner.h"
#include "scan/selection.h"
#include "scan/shown_text.h"
#include "scan/targets.h"

namespace packprobe::scan {
namespace {

// False when the text could not be written whole.
bool WriteTo(std::FILE* stream, const std::string& text) {
  const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  return std::fflush(stream) == 0 && written;
}

// Bounds of a --files-from list: no real list comes near them, and an
// endless source (/dev/zero, a runaway pipe) ends in a clear error rather
// than in exhausted memory.
constexpr std::size_t kMaxListBytes = 64u << 20;
constexpr std::size_t kMaxListLine = 32u << 10;

// Reads a list of paths, each ended by separator, within the bounds;
// nothing, with the reason in error, when it cannot be read or breaks them.
std::optional<std::string> ReadList(std::FILE* stream, char separator, std::string& error) {
  std::string text;
  char buffer[65536];
  std::size_t lineStart = 0;
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) {
    if (n > kMaxListBytes - text.size()) {
      error = "is larger than " + GroupDigits(kMaxListBytes >> 20) + " MiB";
      return std::nullopt;
    }
    const std::size_t at = text.size();
    text.append(buffer, n);
    for (std::size_t i = at; i < text.size(); ++i) {
      if (text[i] == '\0' && separator != '\0') {
        error = "holds a NUL byte, which no path can hold, at byte " + GroupDigits(i) +
                " (-0 reads lists of paths ended by NUL)";
        return std::nullopt;
      }
      if (text[i] == separator) lineStart = i + 1;
    }
    if (text.size() - lineStart > kMaxListLine) {
      error = "has a line longer than " + GroupDigits(kMaxListLine) + " bytes, at byte " +
              GroupDigits(lineStart);
      return std::nullopt;
    }
  }
  if (std::ferror(stream)) {
    error = "cannot be read: " + std::system_category().message(errno);
    return std::nullopt;
  }
  return text;
}

// The paths to check: those named and those listed by --files-from.
std::optional<std::vector<std::filesystem::path>> NamedPaths(const ScanOptions& options,
                                                             std::string& error) {
  std::vector<std::filesystem::path> paths;
  for (const std::string& path : options.paths) paths.push_back(PathFromUtf8(path));
  if (options.filesFrom.empty()) return paths;
  std::optional<std::string> list;
  std::string why = "cannot be opened";
  const char separator = options.nullSeparated ? '\0' : '\n';
  if (options.filesFrom == "-") {
    list = ReadList(stdin, separator, why);
  } else if (const platform::StdioFile file = platform::OpenStreamForReading(
                 PathToUtf16(PathFromUtf8(options.filesFrom).native()))) {
    list = ReadList(file.get(), separator, why);
  } else {
    why += ": " + std::system_category().message(errno);
  }
  if (!list) {
    error = "--files-from: \"" + options.filesFrom + "\" " + why;
    return std::nullopt;
  }
  for (const std::string& path : options.nullSeparated ? SplitNulList(*list) : SplitPathList(*list)) {
    paths.push_back(PathFromUtf8(path));
  }
  return paths;
}

// Why -o may not name its path: a folder, or one of the inputs, which the
// report would replace. Empty when it may.
std::string OutputConflict(const ScanOptions& options, const std::vector<Target>& targets) {
  const std::filesystem::path output = PathFromUtf8(options.output);
  std::error_code error;
  if (!std::filesystem::exists(output, error)) return {};
  if (std::filesystem::is_directory(output, error)) return "it is a folder";
  if (!std::filesystem::is_regular_file(output, error)) return {};
  const auto same = [&](const std::filesystem::path& other) {
    std::error_code ignored;
    return std::filesystem::equivalent(output, other, ignored);
  };
  if (!options.filesFrom.empty() && options.filesFrom != "-" &&
      same(PathFromUtf8(options.filesFrom))) {
    return "it is the --files-from list";
  }
  if (!options.manifest.empty() && same(PathFromUtf8(options.manifest))) {
    return "it is the --manifest file, which the report would replace";
  }
  for (const Target& target : targets) {
    if (target.searchCode.empty() && same(std::filesystem::path(target.native))) {
      return "it is the component " + ShownPath(target.display) + ", which the report would replace";
    }
  }
  return {};
}

// The progress line on standard error, redrawn at most ten times a second,
// and wiped before a record is written, so that a report on the same
// terminal never lands in the middle of it.
class ProgressLine {
 public:
  ProgressLine(bool enabled, std::size_t total) : enabled_(enabled), total_(total) {}
  void Update(std::size_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done != total_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const std::string text =
        "\rchecked " + GroupDigits(done) + " of " + GroupDigits(total_) + " components";
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    shown_ = text.size() - 1;
  }
  void Clear() {
    if (shown_ == 0) return;
    // Spaces between two carriage returns, built in place: GCC 12 warns
    // -Wrestrict, wrongly, about "\r" + std::string(n, ' ') at -O2.
    std::string blank(shown_ + 2, ' ');
    blank.front() = '\r';
    blank.back() = '\r';
    std::fputs(blank.c_str(), stderr);
    std::fflush(stderr);
    shown_ = 0;
  }

 private:
  bool enabled_;
  std::size_t total_;
  std::size_t shown_ = 0;  // characters on the line now
  std::chrono::steady_clock::time_point last_{};
};

// Names what was searched when no component was found in it.
std::string NothingCheckedMessage(const std::vector<std::filesystem::path>& paths,
                                  const SearchNotes& notes) {
  constexpr std::size_t kNamed = 5;
  std::string message = "packprobe-scan: nothing was checked: no component found in";
  for (std::size_t i = 0; i < paths.size() && i < kNamed; ++i) {
    message += (i == 0 ? " " : ", ") + ShownPath(GenericUtf8(paths[i]));
  }
  if (paths.size() > kNamed) message += " and " + GroupDigits(paths.size() - kNamed) + " more";
  if (paths.empty()) message += " the empty list of paths";
  if (notes.folderLinksSkipped != 0) {
    message += "; " + GroupDigits(notes.folderLinksSkipped) +
               (notes.folderLinksSkipped == 1 ? " link to a folder was" : " links to folders were") +
               " not followed (--follow searches them)";
  }
  return message + " (--allow-empty lets such a scan pass)\n";
}

// Subcommands: "packprobe-scan NAME ..." runs the function with the
// arguments from NAME on. A folder named like a subcommand is named "./NAME".
struct Subcommand {
  const char* name;
  int (*run)(const std::vector<std::string>& arguments);
};
constexpr Subcommand kSubcommands[] = {
    {"merge", RunMergeProgram},
};

}  // namespace

int RunScanProgram(const std::vector<std::string>& arguments) {
  if (arguments.size() > 1) {
    for (const Subcommand& subcommand : kSubcommands) {
      if (arguments[1] == subcommand.name) {
        return subcommand.run(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
      }
    }
  }
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  if (arguments.size() > 1 && arguments[1] == "snapshot") return RunSnapshotProgram(arguments, cores);
  if (arguments.size() > 1 && arguments[1] == "diff") return RunDiffProgram(arguments, cores);
  const CommandLine line = ParseScanCommandLine(arguments, cores);
  if (!line.run) {
    // Help that could not be printed is no success either.
    const bool written = WriteTo(stdout, line.out);
    WriteTo(stderr, line.err);
    return written || line.exitCode != 0 ? line.exitCode : kScanOutputError;
  }
  const ScanOptions& options = line.options;
  const auto start = std::chrono::steady_clock::now();
  const auto usageError = [](const std::string& message) {
    WriteTo(stderr, "packprobe-scan: " + message + "\nRun with --help for more information.\n");
    return kScanUsage;
  };

  std::string error;
  const auto paths = NamedPaths(options, error);
  if (!paths) return usageError(error);
  std::optional<ManifestCheck> manifest;
  if (!options.manifest.empty()) {
    auto entries = LoadManifest(options.manifest, error);
    if (!entries) {
      WriteTo(stderr, "packprobe-scan: " + EscapeControls(error) + "\n");
      return kScanDataError;
    }
    manifest.emplace(std::move(*entries));
  }
  SearchNotes notes;
  std::vector<Target> targets = CollectTargets(*paths, {options.follow, options.exclude}, &notes);
  const std::size_t found = targets.size();
  if (options.shard) {
    std::erase_if(targets, [&](const Target& target) {
      return ShardOf(target, options.shard->count) != options.shard->index;
    });
  }

  // Every work directory that the checks hold at once, and the temporary
  // report file, must fit in the registry that a termination cleans up;
  // when it cannot grow, fewer checks run at once.
  unsigned jobs = options.jobs;
  constexpr unsigned kFewestSlots = 64;  // what the registry holds from the start
  constexpr unsigned kOtherPaths = 4;    // the temporary report file, and room
  if (!platform::ReserveLiveDirectories(std::size_t{jobs} + kOtherPaths)) {
    jobs = std::min(jobs, kFewestSlots - kOtherPaths);
    WriteTo(stderr, "packprobe-scan: no memory to track " + std::to_string(options.jobs) +
                        " work directories; checking " + std::to_string(jobs) + " at a time\n");
  }

  // The report goes to a temporary file beside -o, renamed into place when
  // it is whole: the named file is whole or as it was.
  std::FILE* out = stdout;
  platform::ReplacingOutput output;
  if (!options.output.empty()) {
    if (const std::string conflict = OutputConflict(options, targets); !conflict.empty()) {
      return usageError("-o: \"" + options.output + "\" cannot take the report: " + conflict);
    }
    if (!output.Open(PathFromUtf8(options.output).native(), error)) {
      WriteTo(stderr, "packprobe-scan: cannot write \"" + options.output + "\": " + error + "\n");
      return kScanOutputError;
    }
    out = output.stream();
  }
  // The other outputs must not harm an input either (the summary is
  // appended to, so naming a component would damage it).
  std::vector<std::pair<std::string, std::string>> others;
  for (const auto& [format, name] : options.also) others.emplace_back("--also", name);
  if (!options.summary.empty()) others.emplace_back("--summary", options.summary);
  for (const auto& [option, name] : others) {
    ScanOptions probe = options;
    probe.output = name;
    if (const std::string conflict = OutputConflict(probe, targets); !conflict.empty()) {
      return usageError(option + ": \"" + name + "\" cannot take the report: " + conflict);
    }
  }
  ExtraOutputs extras(options);
  if (!extras.Open(error)) {
    WriteTo(stderr, "packprobe-scan: " + error + "\n");
    return kScanOutputError;
  }

  const bool showProgress =
      !options.quiet && (options.progress == ProgressMode::kAlways ||
                         (options.progress == ProgressMode::kAuto && StandardErrorIsTerminal()));
  ProgressLine progress(showProgress, targets.size());
  const std::unique_ptr<Report> report = MakeReport(options, out);
  ScanSummary summary;
  int exitCode = kScanPassed;
  RecordJudge judge(Policy{options.strict, options.errorOn, options.ignore});

  report->Begin();
  extras.Begin();
  // Each record is passed on to the system at once, so that a report that
  // cannot be written (a closed pipe, a full disk) stops the scan at once.
  const auto fewerThreads = [&](unsigned running, unsigned wanted) {
    WriteTo(stderr, "packprobe-scan: the system could not start all " + std::to_string(wanted) +
                        " threads; checking with " + std::to_string(std::max(running, 1u)) +
                        "\n");
  };
  CheckAll(targets, options.criteria, jobs, [&](ScanRecord&& record) {
    if (!report->ok()) return false;
    if (manifest) manifest->Judge(record, RangesGiven(options.criteria));
    judge.Judge(record);
    summary.Count(record);
    extras.Add(record);
    exitCode = WorseScanExitCode(exitCode, ScanExitCode(record.outcome));
    // The record reaches the terminal before the progress line returns.
    progress.Clear();
    report->Add(record);
    const bool written = report->Flush();
    progress.Update(summary.total);
    return written;
  }, fewerThreads, options.hash || manifest.has_value());
  // The manifest's entries that no component matched follow the records.
  if (manifest && report->ok()) {
    for (const ScanRecord& record : manifest->AbsentRecords(FirstFolder(*paths), options.shard)) {
      // An entry the excludes leave out was not looked for.
      if (Excluded(options.exclude, record.relativePath)) continue;
      summary.Count(record);
      extras.Add(record);
      exitCode = WorseScanExitCode(exitCode, ScanExitCode(record.outcome));
      report->Add(record);
    }
  }
  // Nothing found in what was named is no pass: a wrong artifact path must
  // not ship a release. A shard whose share is empty while the paths held
  // components checked what it was given.
  const bool nothingChecked = found == 0 && !options.allowEmpty;
  if (nothingChecked) exitCode = kScanNothingChecked;
  summary.exitCode = exitCode;
  summary.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  progress.Clear();
  if (report->ok()) report->End(summary);
  extras.End(summary);
  bool written = report->Flush();
  if (written && out != stdout && !output.Commit(error)) {
    written = false;
    error = "the report could not be put in place as \"" + options.output + "\": " + error;
  } else if (!written) {
    error = report->error();
  }
  if (!written) {
    WriteTo(stderr, "packprobe-scan: " + error + "; the report is not whole" +
                        (out != stdout ? " and was not kept" : "") + "\n");
    return kScanOutputError;
  }
  if (!extras.Finish(error)) {
    WriteTo(stderr, "packprobe-scan: " + error + "\n");
    return kScanOutputError;
  }
  if (nothingChecked) WriteTo(stderr, NothingCheckedMessage(*paths, notes));
  return exitCode;
}

}  // namespace packprobe::scan
