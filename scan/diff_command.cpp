// packprobe-scan diff OLD NEW: what changed between two releases.
#include <CLI/CLI.hpp>

#include "gate/exit_codes.h"
#include "release/diff.h"
#include "scan/commands.h"
#include "scan/command_line.h"
#include "scan/outputs.h"
#include "scan/trust.h"

namespace packprobe::scan {
namespace {

constexpr int kDiffSame = 0;
constexpr int kDiffChanged = 1;

constexpr const char* kFooter =
    "OLD and NEW are each a folder (scanned, with hashing), a JSON Lines report of\n"
    "packprobe-scan (--format jsonl; with --hash to see content changes; the reports\n"
    "of all shards of a run joined one after another count as one), or a release\n"
    "manifest (snapshot), in any mix. Components are matched by their path relative\n"
    "to the folder named. Changes: added, removed, upgraded, downgraded (any version\n"
    "lower), content-changed (same versions, other bytes, metadata or inspection\n"
    "result), renamed (same SHA-256, other path).\n"
    "\n"
    "--exclude and the configuration file's exclude leave components out of both\n"
    "releases; --files-from lists the only paths (relative, as in the release) to\n"
    "compare.\n"
    "\n"
    "Exit codes:\n"
    "  0   nothing changed\n"
    "  1   something changed\n"
    "  64  usage error\n"
    "  65  an input cannot be read, is neither a folder, a report nor a manifest, or is\n"
    "      a partial report (a share of a sharded run, cut, or contradicting itself)\n"
    "  74  the output could not be written\n";

}  // namespace

int RunDiff(const std::vector<std::string>& arguments, unsigned defaultJobs) {
  CLI::App app("Lists what changed between two releases.", "packprobe-scan diff");
  app.footer(kFooter);
  std::string before, after;
  app.add_option("OLD", before, "the earlier release: a folder, a JSON Lines report or a manifest")
      ->option_text(" ")
      ->required();
  app.add_option("NEW", after, "the later release, likewise")->option_text(" ")->required();
  OptionGroups groups;
  groups.selection = groups.output = groups.reports = groups.jobs = true;
  groups.formats = report::FormatUse::kDiff;
  CommandLineParser parser(app, "packprobe-scan diff", groups, defaultJobs);
  if (const std::optional<int> done = parser.Parse(arguments, 2)) return *done;
  const ScanOptions& options = parser.options();
  OutputFiles files("packprobe-scan diff");
  std::vector<std::string> keys;
  if (!options.run.selection.filesFrom.empty()) {
    std::string error;
    gate::Selection list = options.run.selection;
    list.paths.clear();
    const auto named = NamedPaths(list, error);
    if (!named) return parser.UsageError(error);
    for (const auto& path : *named) keys.push_back(gate::GenericUtf8(path));
  }

  release::Release releases[2];
  // A folder is checked as snapshot checks it, signers named.
  const TrustLoad trust = LoadTrust({});
  if (!trust.settings) {
    files.Say(trust.systemError);
    return gate::kScanSystemError;
  }
  for (int i = 0; i < 2; ++i) {
    const std::string& name = i == 0 ? before : after;
    releases[i] = release::LoadRelease(name, options.run.selection, keys, options.run.jobs,
                                       gate::CheckOptions{true, &*trust.settings, Now()});
    if (!releases[i].error.empty()) {
      files.Say("\"" + name + "\" " + releases[i].error);
      return gate::kScanDataError;
    }
  }
  const std::vector<release::Change> changes = release::DiffReleases(releases[0].entries, releases[1].entries);
  const int exitCode = changes.empty() ? kDiffSame : kDiffChanged;
  const auto text = [&](report::Format format) {
    switch (format) {
      case report::Format::kJsonl: return release::DiffJsonLines(changes, before, after, exitCode);
      case report::Format::kMarkdown: return release::DiffMarkdown(changes, before, after);
      default: return release::DiffText(changes);
    }
  };
  if (!files.OpenMain(options.out.output)) return gate::kScanOutputError;
  const auto put = [&](std::FILE* stream, const std::string& bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
  };
  if (!put(files.main(), text(options.out.format))) {
    files.SayNotWhole("the changes could not be written");
    return gate::kScanOutputError;
  }
  for (const auto& [format, path] : options.out.also) {
    std::FILE* stream = files.OpenExtra(path);
    if (stream == nullptr) return gate::kScanOutputError;
    if (!put(stream, text(format))) {
      files.Say("\"" + path + "\" could not be written");
      return gate::kScanOutputError;
    }
  }
  if (!options.out.summary.empty()) files.SetSummary(options.out.summary);
  return files.Commit(options.out.summary.empty() ? std::string() : text(report::Format::kMarkdown))
             ? exitCode
             : gate::kScanOutputError;
}

}  // namespace packprobe::scan
