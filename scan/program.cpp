#include "scan/program.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unordered_map>

#include "scan/host.h"
#include "scan/merge.h"
#include "scan/outputs.h"
#include "scan/policy.h"
#include "scan/report.h"
#include "scan/scan_options.h"
#include "scan/scanner.h"
#include "scan/selection.h"
#include "scan/targets.h"

namespace packprobe::scan {
namespace {

void WriteTo(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// Reads the whole of a stream; nothing when it fails.
std::optional<std::string> ReadAll(std::FILE* stream) {
  std::string text;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, n);
  if (std::ferror(stream)) return std::nullopt;
  return text;
}

// The paths to check: those named and those listed by --files-from.
std::optional<std::vector<std::filesystem::path>> NamedPaths(const ScanOptions& options,
                                                             std::string& error) {
  std::vector<std::filesystem::path> paths;
  for (const std::string& path : options.paths) paths.push_back(PathFromUtf8(path));
  if (options.filesFrom.empty()) return paths;
  std::optional<std::string> list;
  if (options.filesFrom == "-") {
    list = ReadAll(stdin);
  } else if (std::FILE* file = OpenInputFile(PathFromUtf8(options.filesFrom))) {
    list = ReadAll(file);
    std::fclose(file);
  }
  if (!list) {
    error = "--files-from: cannot read \"" + options.filesFrom + "\"";
    return std::nullopt;
  }
  for (const std::string& path : options.nullSeparated ? SplitNulList(*list) : SplitPathList(*list)) {
    paths.push_back(PathFromUtf8(path));
  }
  return paths;
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
    std::fputs(("\r" + std::string(shown_, ' ') + "\r").c_str(), stderr);
    std::fflush(stderr);
    shown_ = 0;
  }

 private:
  bool enabled_;
  std::size_t total_;
  std::size_t shown_ = 0;  // characters on the line now
  std::chrono::steady_clock::time_point last_{};
};

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
  const CommandLine line = ParseScanCommandLine(arguments, cores);
  if (!line.run) {
    WriteTo(stdout, line.out);
    WriteTo(stderr, line.err);
    return line.exitCode;
  }
  const ScanOptions& options = line.options;
  const auto start = std::chrono::steady_clock::now();

  std::string error;
  const auto paths = NamedPaths(options, error);
  if (!paths) {
    WriteTo(stderr, "packprobe-scan: " + error + "\n");
    return kScanUsage;
  }
  std::vector<Target> targets = CollectTargets(*paths, options.exclude);
  if (options.shard) {
    std::erase_if(targets, [&](const Target& target) {
      return ShardOf(target, options.shard->count) != options.shard->index;
    });
  }

  std::FILE* out = stdout;
  if (!options.output.empty()) {
    out = OpenOutputFile(PathFromUtf8(options.output));
    if (out == nullptr) {
      WriteTo(stderr, "packprobe-scan: cannot write \"" + options.output + "\"\n");
      return kScanFailed;
    }
  }

  const bool showProgress =
      !options.quiet && (options.progress == ProgressMode::kAlways ||
                         (options.progress == ProgressMode::kAuto && StandardErrorIsTerminal()));
  ProgressLine progress(showProgress, targets.size());
  const std::unique_ptr<Report> report = MakeReport(options, out);
  ExtraOutputs extras(options);
  if (!extras.Open(error)) {
    WriteTo(stderr, "packprobe-scan: " + error + "\n");
    return kScanWriteFailed;
  }
  ScanSummary summary;
  int exitCode = kScanPassed;
  RecordJudge judge(Policy{options.strict, options.errorOn, options.ignore});

  report->Begin();
  extras.Begin();
  CheckAll(targets, options.criteria, options.jobs, [&](ScanRecord&& record) {
    judge.Judge(record);
    summary.Count(record);
    extras.Add(record);
    exitCode = std::max(exitCode, ScanExitCode(record.outcome));
    if (showProgress) {
      // The record reaches the terminal before the progress line returns.
      progress.Clear();
      report->Add(record);
      std::fflush(out);
      progress.Update(summary.total);
    } else {
      report->Add(record);
    }
  });
  summary.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  progress.Clear();
  summary.exitCode = exitCode;
  report->End(summary);
  extras.End(summary);

  bool written = report->ok() && std::fflush(out) == 0;
  if (out != stdout) written = std::fclose(out) == 0 && written;
  if (!written) {
    WriteTo(stderr, "packprobe-scan: the report could not be written completely\n");
    return kScanFailed;
  }
  if (!extras.Finish(error)) {
    WriteTo(stderr, "packprobe-scan: " + error + "\n");
    return kScanWriteFailed;
  }
  return exitCode;
}

}  // namespace packprobe::scan
