// packprobe-scan PATH...: checks the components found, judges them as one
// run and writes the reports.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "gate/check.h"
#include "gate/exit_codes.h"
#include "gate/shares.h"
#include "gate/targets.h"
#include "platform/process.h"
#include "platform/stdio_file.h"
#include "platform/whole_file.h"
#include "release/manifest_file.h"
#include "report/report.h"
#include "scan/commands.h"
#include "scan/host.h"
#include "scan/judged_run.h"
#include "scan/trust.h"
#include "util/shown_text.h"
#include "util/version.h"

namespace packprobe::scan {
namespace {

namespace fs = std::filesystem;

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
    "'/' between its parts), or of the file name for files named directly, so\n"
    "workers that name the same folders split the paths the same way: the N shares\n"
    "are disjoint and together hold every path.\n"
    "\n"
    "--manifest FILE checks each component against its own entry of a release\n"
    "manifest (made by snapshot), keyed by its path relative to the folder named\n"
    "(the file name for a file named directly): version-changed, metadata-changed,\n"
    "signer-changed, content-changed, unexpected (no entry) and absent (an entry not\n"
    "found; these records follow the others). Version ranges, when given, still apply.\n"
    "\n"
    "Signatures: every record says whether the component file and its veksetup.exe\n"
    "are signed, by whom, and whether the signature holds. --trust FILE names PEM\n"
    "roots that chains are built to (without them chains are not verified);\n"
    "--signer pins who may sign (a SHA-256 fingerprint or a subject); --require-signed\n"
    "stub,setup makes an unsigned or invalid signature a failure.\n"
    "\n"
    "Warnings (failures only with --strict or --error-on): stub-version-text,\n"
    "stub-comments-tail, setup-version-text, setup-no-file-version, duplicate-component,\n"
    "waiver-expired, stub-signature-invalid, setup-signature-invalid.\n"
    "\n"
    "Configuration: packprobe-scan.toml in the first PATH's folder or above, up to the\n"
    "repository's root (or --config FILE), may hold stub-min, stub-max, setup-min,\n"
    "setup-max, firmware-only, software-only, strict, error-on, ignore, exclude (its\n"
    "patterns relative to the file's folder), manifest, trust, signer, require-signed\n"
    "and [[waive]] tables (path, code, reason, until: a known exception, shown as\n"
    "waived); options given on the command line win over the file's keys.\n"
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
    "  65  an input (the manifest; for merge and diff, a report) cannot be read or\n"
    "      is malformed, or the shards do not fit\n"
    "  71  the scan could not run: no memory\n"
    "  74  the report could not be written whole (a full disk, a closed pipe)\n"
    "\n"
    "Other commands (each with --help for its options):\n"
    "  packprobe-scan merge REPORT...             join the JSON Lines reports of shards\n"
    "  packprobe-scan snapshot PATH... [-o FILE]  write the release manifest of PATH\n"
    "  packprobe-scan diff OLD NEW                what changed between two releases\n";

// Bounds of a --files-from list: no real list comes near them, and an
// endless source (/dev/zero, a runaway pipe) ends in a clear error rather
// than in exhausted memory.
constexpr std::uint64_t kMaxListBytes = 64u << 20;
constexpr std::size_t kMaxListLine = 32u << 10;

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
    const std::string text = "\rchecked " + report::GroupDigits(done) + " of " + report::GroupDigits(total_) +
                             " components";
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
std::string NothingCheckedMessage(const std::vector<fs::path>& paths, const gate::SearchNotes& notes) {
  constexpr std::size_t kNamed = 5;
  std::string message = "packprobe-scan: nothing was checked: no component found in";
  for (std::size_t i = 0; i < paths.size() && i < kNamed; ++i) {
    message += (i == 0 ? " " : ", ") + ShownPath(gate::GenericUtf8(paths[i]));
  }
  if (paths.size() > kNamed) message += " and " + report::GroupDigits(paths.size() - kNamed) + " more";
  if (paths.empty()) message += " the empty list of paths";
  if (notes.folderLinksSkipped != 0) {
    message += "; " + report::GroupDigits(notes.folderLinksSkipped) +
               (notes.folderLinksSkipped == 1 ? " link to a folder was" : " links to folders were") +
               " not followed (--follow searches them)";
  }
  return message + " (--allow-empty lets such a scan pass)\n";
}

// What the run used, for --verbose: the configuration file, each exclude
// pattern with the paths it left out, each waiver with what it waived.
std::string UsedMessage(const gate::RunSettings& settings, const gate::SearchNotes& notes,
                        const std::vector<gate::PolicyJudge::WaiverUse>& uses) {
  std::string text = "packprobe-scan: configuration: " +
                     (settings.config.empty() ? std::string("none") : ShownPath(settings.config)) + "\n";
  for (std::size_t i = 0; i < settings.selection.exclude.size(); ++i) {
    const gate::ExcludePattern& pattern = settings.selection.exclude[i];
    const std::size_t count = i < notes.excludedBy.size() ? notes.excludedBy[i] : 0;
    text += "packprobe-scan: exclude " + EscapeControls(pattern.glob) + " (" +
            (pattern.base.empty() ? std::string("command line") : "from " + ShownPath(pattern.base)) +
            "): " + report::GroupDigits(count) + (count == 1 ? " path" : " paths") + " left out\n";
  }
  for (std::size_t i = 0; i < settings.policy.waivers.size(); ++i) {
    const gate::PolicyJudge::WaiverUse use = i < uses.size() ? uses[i] : gate::PolicyJudge::WaiverUse{};
    text += "packprobe-scan: waiver " + EscapeControls(gate::DescribeWaiver(settings.policy.waivers[i])) + ": " +
            (use.waived + use.ended == 0
                 ? std::string("matched nothing")
                 : report::GroupDigits(use.waived) + " waived" +
                       (use.ended != 0 ? ", " + report::GroupDigits(use.ended) + " no longer (it ended)" : "")) +
            "\n";
  }
  return text;
}

// Why -o and the other outputs may not name a path: a folder, or one of the
// inputs, which the report would replace. Empty when it may.
std::string OutputConflict(const std::string& output, const ScanOptions& options,
                           const std::vector<gate::Target>& targets) {
  const fs::path path = gate::PathFromUtf8(output);
  std::error_code error;
  if (!fs::exists(path, error)) return {};
  if (fs::is_directory(path, error)) return "it is a folder";
  if (!fs::is_regular_file(path, error)) return {};
  const auto same = [&](const fs::path& other) {
    std::error_code ignored;
    return fs::equivalent(path, other, ignored);
  };
  const gate::Selection& selection = options.run.selection;
  if (!selection.filesFrom.empty() && selection.filesFrom != "-" && same(gate::PathFromUtf8(selection.filesFrom))) {
    return "it is the --files-from list";
  }
  if (!options.run.manifest.empty() && same(gate::PathFromUtf8(options.run.manifest))) {
    return "it is the --manifest file, which the report would replace";
  }
  if (!options.run.config.empty() && same(gate::PathFromUtf8(options.run.config))) {
    return "it is the configuration file";
  }
  for (const gate::Target& target : targets) {
    if (target.searchCode.empty() && same(fs::path(target.native))) {
      return "it is the component " + ShownPath(target.display) + ", which the report would replace";
    }
  }
  return {};
}

// The checks to run at once: every work directory they hold, and the
// temporary report files, must fit in the registry that a termination
// cleans up; when it cannot grow, fewer checks run at once.
unsigned JobsTracked(unsigned jobs, std::size_t extraOutputs, const OutputFiles& files) {
  constexpr unsigned kFewestSlots = 64;  // what the registry holds from the start
  constexpr unsigned kOtherPaths = 4;    // the temporary report files, and room
  if (platform::ReserveLiveDirectories(std::size_t{jobs} + kOtherPaths + extraOutputs)) return jobs;
  const unsigned fewer = std::min(jobs, kFewestSlots - kOtherPaths);
  files.Say("no memory to track " + std::to_string(jobs) + " work directories; checking " +
            std::to_string(fewer) + " at a time");
  return fewer;
}

// The usage error when an output names an input; empty when none does.
std::string OutputsConflict(const ScanOptions& options, const std::vector<gate::Target>& targets) {
  std::vector<std::pair<std::string, std::string>> outputs;
  if (!options.out.output.empty()) outputs.emplace_back("-o", options.out.output);
  for (const auto& [format, name] : options.out.also) outputs.emplace_back("--also", name);
  if (!options.out.summary.empty()) outputs.emplace_back("--summary", options.out.summary);
  for (const auto& [option, name] : outputs) {
    if (const std::string conflict = OutputConflict(name, options, targets); !conflict.empty()) {
      return option + ": \"" + name + "\" cannot take the report: " + conflict;
    }
  }
  return {};
}

}  // namespace

std::optional<std::vector<fs::path>> NamedPaths(const gate::Selection& selection, std::string& error) {
  std::vector<fs::path> paths;
  for (const std::string& path : selection.paths) paths.push_back(gate::PathFromUtf8(path));
  if (selection.filesFrom.empty()) return paths;
  const char separator = selection.nullSeparated ? '\0' : '\n';
  // Checked as it is read, so that an endless or binary source fails at once.
  std::size_t lineStart = 0;
  const platform::PieceCheck check = [&](std::string_view text, std::size_t from, std::string& why) {
    for (std::size_t i = from; i < text.size(); ++i) {
      if (text[i] == '\0' && separator != '\0') {
        why = "holds a NUL byte, which no path can hold, at byte " + report::GroupDigits(i) +
              " (-0 reads lists of paths ended by NUL)";
        return false;
      }
      if (text[i] == separator) lineStart = i + 1;
    }
    if (text.size() - lineStart > kMaxListLine) {
      why = "has a line longer than " + report::GroupDigits(kMaxListLine) + " bytes, at byte " +
            report::GroupDigits(lineStart);
      return false;
    }
    return true;
  };
  std::optional<std::string> list;
  std::string why;
  // A list may come from a pipe: it is read as the system gives it.
  const platform::StdioFile file =
      selection.filesFrom == "-"
          ? platform::StdioFile()
          : platform::OpenStreamForReading(gate::PathToUtf16(gate::PathFromUtf8(selection.filesFrom).native()));
  if (selection.filesFrom == "-") {
    list = platform::ReadWholeStream(stdin, kMaxListBytes, why, check);
  } else if (file) {
    list = platform::ReadWholeStream(file.get(), kMaxListBytes, why, check);
  } else {
    why = "cannot be opened: " + std::system_category().message(errno);
  }
  if (!list) {
    error = "--files-from: \"" + selection.filesFrom + "\" " + why;
    return std::nullopt;
  }
  for (const std::string& path : selection.nullSeparated ? gate::SplitNulList(*list) : gate::SplitPathList(*list)) {
    paths.push_back(gate::PathFromUtf8(path));
  }
  return paths;
}

gate::FoundPaths FoundOf(const std::vector<gate::Target>& targets) {
  std::vector<std::string> keys;
  keys.reserve(targets.size());
  for (const gate::Target& target : targets) keys.push_back(target.relative);
  return gate::DescribeFoundPaths(std::move(keys));
}

int RunScan(const std::vector<std::string>& arguments, unsigned defaultJobs) {
  CLI::App app(kDescription, "packprobe-scan");
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("packprobe-scan ") + kProjectVersion);
  OptionGroups groups;
  groups.names = groups.selection = groups.ranges = groups.policy = groups.run = true;
  groups.output = groups.reports = groups.jobs = true;
  CommandLineParser parser(app, "packprobe-scan", groups, defaultJobs);
  if (const std::optional<int> done = parser.Parse(arguments, 1)) return *done;
  const ScanOptions& options = parser.options();
  const gate::RunSettings& settings = options.run;
  if (settings.selection.paths.empty() && settings.selection.filesFrom.empty()) {
    return parser.UsageError("no components named: give a PATH or --files-from");
  }
  const auto start = std::chrono::steady_clock::now();
  OutputFiles files("packprobe-scan");

  std::string error;
  const auto paths = NamedPaths(settings.selection, error);
  if (!paths) return parser.UsageError(error);
  const TrustLoad trust = LoadTrust(settings.signing);
  if (!trust.usageError.empty()) return parser.UsageError(trust.usageError);
  if (!trust.settings) {
    files.Say(trust.systemError);
    return gate::kScanSystemError;
  }
  report::RunHeader header{settings, gate::FirstFolder(*paths), {}, TodayUtc()};
  std::optional<std::vector<gate::ManifestEntry>> manifest;
  if (!settings.manifest.empty()) {
    manifest = release::LoadManifest(settings.manifest, error, &header.manifestSha256);
    if (!manifest) {
      files.Say(error);
      return gate::kScanDataError;
    }
  }
  gate::SearchNotes notes;
  std::vector<gate::Target> targets =
      gate::CollectTargets(*paths, {settings.selection.follow, settings.selection.exclude}, &notes);
  const gate::FoundPaths found = FoundOf(targets);
  if (settings.shard) {
    std::erase_if(targets, [&](const gate::Target& target) { return !gate::InShare(target.relative, settings.shard); });
  }

  const unsigned jobs = JobsTracked(settings.jobs, options.out.also.size(), files);
  if (const std::string conflict = OutputsConflict(options, targets); !conflict.empty()) {
    return parser.UsageError(conflict);
  }

  JudgedRun run(options, header, manifest ? &*manifest : nullptr, files,
                ExcludedEntries(settings.selection, header.folder));
  if (!run.Open()) return gate::kScanOutputError;

  const bool showProgress =
      !options.out.quiet && (options.out.progress == ProgressMode::kAlways ||
                             (options.out.progress == ProgressMode::kAuto && StandardErrorIsTerminal()));
  ProgressLine progress(showProgress, targets.size());
  const auto fewerThreads = [&](unsigned running, unsigned wanted) {
    files.Say("the system could not start all " + std::to_string(wanted) + " threads; checking with " +
              std::to_string(std::max(running, 1u)));
  };
  std::size_t done = 0;
  // Each record is passed on to the system at once, so that a report that
  // cannot be written (a closed pipe, a full disk) stops the scan at once.
  gate::CheckAll(targets, jobs, [&](gate::ScanRecord&& record) {
    // The record reaches the terminal before the progress line returns.
    progress.Clear();
    const bool written = run.Add(std::move(record)) && run.Flush();
    progress.Update(++done);
    return written;
  }, fewerThreads, gate::CheckOptions{settings.Hashing(), &*trust.settings, Now()});
  progress.Clear();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::size_t excluded = 0;
  for (const std::size_t count : notes.excludedBy) excluded += count;
  const int exitCode = run.Finish(found, excluded, seconds);
  if (options.out.verbose) {
    const std::string used = UsedMessage(settings, notes, run.waiverUses());
    std::fwrite(used.data(), 1, used.size(), stderr);
  }
  if (exitCode == gate::kScanNothingChecked) {
    const std::string message = NothingCheckedMessage(*paths, notes);
    std::fwrite(message.data(), 1, message.size(), stderr);
  }
  return exitCode;
}

}  // namespace packprobe::scan
