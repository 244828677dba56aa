#include "scan/program.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unordered_map>

#include "scan/diff.h"
#include "scan/host.h"
#include "scan/manifest.h"
#include "scan/report.h"
#include "scan/scan_options.h"
#include "scan/scanner.h"
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
  for (const std::string& path : SplitPathList(*list)) paths.push_back(PathFromUtf8(path));
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

}  // namespace

int RunScanProgram(const std::vector<std::string>& arguments) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  if (arguments.size() > 1 && arguments[1] == "snapshot") return RunSnapshotProgram(arguments, cores);
  if (arguments.size() > 1 && arguments[1] == "diff") return RunDiffProgram(arguments, cores);
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
  std::optional<ManifestCheck> manifest;
  if (!options.manifest.empty()) {
    auto entries = LoadManifest(options.manifest, error);
    if (!entries) {
      WriteTo(stderr, "packprobe-scan: " + EscapeForTerminal(error) + "\n");
      return kScanBadInput;
    }
    manifest.emplace(std::move(*entries));
  }
  std::vector<Target> targets = CollectTargets(*paths);
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
  ScanSummary summary;
  int exitCode = kScanPassed;
  // Components already seen: a hash of the display name and versions, and
  // the index of the first target that has them.
  std::unordered_map<std::uint64_t, std::size_t> seen;
  std::size_t index = 0;

  report->Begin();
  CheckAll(targets, options.criteria, options.jobs, [&](ScanRecord&& record) {
    if (record.inspected && !record.name.empty() && record.outcome != Outcome::kFiltered) {
      const std::string key = record.name + '\x1F' + std::to_string(record.stub.version.value_or(0)) +
                              '\x1F' + std::to_string(record.setup.version.value_or(-1));
      const auto [first, inserted] = seen.try_emplace(Fnv1a64(key), index);
      if (!inserted) {
        record.warnings.push_back({"duplicate-component", "the same display name and versions as " +
                                                              targets[first->second].display});
      }
    }
    ++index;
    if (manifest) manifest->Judge(record, RangesGiven(options.criteria));
    if (options.strict) ApplyStrict(record);
    summary.Count(record);
    exitCode = WorseScanExitCode(exitCode, ScanExitCode(record.outcome));
    if (showProgress) {
      // The record reaches the terminal before the progress line returns.
      progress.Clear();
      report->Add(record);
      std::fflush(out);
      progress.Update(summary.total);
    } else {
      report->Add(record);
    }
  }, options.hash || manifest.has_value());
  if (manifest) {
    for (const ScanRecord& record : manifest->AbsentRecords(FirstFolder(*paths), options.shard)) {
      summary.Count(record);
      exitCode = WorseScanExitCode(exitCode, ScanExitCode(record.outcome));
      report->Add(record);
    }
  }
  summary.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  progress.Clear();
  report->End(summary);

  bool written = report->ok() && std::fflush(out) == 0;
  if (out != stdout) written = std::fclose(out) == 0 && written;
  if (!written) {
    WriteTo(stderr, "packprobe-scan: the report could not be written completely\n");
    return kScanFailed;
  }
  return exitCode;
}

}  // namespace packprobe::scan
