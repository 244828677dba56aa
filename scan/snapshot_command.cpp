// packprobe-scan snapshot: the release manifest of the components found.
#include <CLI/CLI.hpp>

#include <system_error>

#include "gate/check.h"
#include "gate/exit_codes.h"
#include "release/manifest_file.h"
#include "release/snapshot.h"
#include "scan/commands.h"
#include "scan/command_line.h"
#include "scan/outputs.h"
#include "scan/trust.h"
#include "util/shown_text.h"

namespace packprobe::scan {
namespace {

constexpr const char* kFooter =
    "Writes the release manifest of the components found: for each, its path\n"
    "relative to the folder named (the file name for a file named directly),\n"
    "display name, category, type, both versions, size and SHA-256, as JSON with\n"
    "one component a line. Check a release against it with --manifest FILE.\n"
    "Paths are selected as a scan selects them (--files-from, --exclude, the\n"
    "configuration file's exclude).\n"
    "\n"
    "Only a whole release is written: when a component cannot be inspected, when\n"
    "two components would share a path, or when nothing is found, no manifest is\n"
    "written and the failures are named on standard error.\n"
    "\n"
    "Exit codes:\n"
    "  0   the manifest was written\n"
    "  2   a component could not be inspected or a folder not searched\n"
    "  3   no component was found\n"
    "  64  usage error, or two components share a manifest path\n"
    "  74  the manifest could not be written\n";

}  // namespace

int RunSnapshot(const std::vector<std::string>& arguments, unsigned defaultJobs) {
  CLI::App app("Writes the release manifest of the components under PATH.", "packprobe-scan snapshot");
  app.footer(kFooter);
  OptionGroups groups;
  groups.names = groups.selection = groups.output = groups.jobs = true;
  CommandLineParser parser(app, "packprobe-scan snapshot", groups, defaultJobs);
  if (const std::optional<int> done = parser.Parse(arguments, 2)) return *done;
  const ScanOptions& options = parser.options();
  const gate::Selection& selection = options.run.selection;
  if (selection.paths.empty() && selection.filesFrom.empty()) {
    return parser.UsageError("no components named: give a PATH or --files-from");
  }
  OutputFiles files("packprobe-scan snapshot");
  std::string error;
  const auto named = NamedPaths(selection, error);
  if (!named) return parser.UsageError(error);
  const std::vector<gate::Target> targets = gate::CollectTargets(*named, {selection.follow, selection.exclude});
  if (!options.out.output.empty()) {
    // The manifest must not replace a component it describes.
    const std::filesystem::path output = gate::PathFromUtf8(options.out.output);
    for (const gate::Target& component : targets) {
      std::error_code code;
      if (std::filesystem::equivalent(std::filesystem::path(component.native), output, code)) {
        return parser.UsageError("-o \"" + options.out.output + "\" is one of the components to snapshot");
      }
    }
  }

  // Who signed each program is part of what the manifest pins; no trust is
  // needed to name a signer.
  const TrustLoad trust = LoadTrust({});
  if (!trust.settings) {
    files.Say(trust.systemError);
    return gate::kScanSystemError;
  }
  release::SnapshotBuilder builder;
  gate::CheckAll(targets, options.run.jobs, [&](gate::ScanRecord&& record) {
    builder.Add(record);
    return true;
  }, {}, gate::CheckOptions{true, &*trust.settings, Now()});
  for (const std::string& problem : builder.problems()) files.Say(problem);
  if (builder.failed()) return gate::kScanFailed;
  if (builder.clash()) return gate::kScanUsage;
  for (const std::string& collision : builder.CaseCollisions()) files.Say("warning: " + collision);
  const std::vector<gate::ManifestEntry> entries = builder.Finish();
  if (entries.empty()) {
    std::string list;
    for (const std::string& path : selection.paths) list += (list.empty() ? "" : ", ") + path;
    if (!selection.filesFrom.empty()) list += (list.empty() ? "the paths of " : ", the paths of ") + selection.filesFrom;
    files.Say("no component found in " + list + "; no manifest written");
    return gate::kScanNothingChecked;
  }
  const std::string text = release::ManifestText(entries);
  if (!files.OpenMain(options.out.output)) return gate::kScanOutputError;
  if (std::fwrite(text.data(), 1, text.size(), files.main()) != text.size()) {
    files.Say("the manifest could not be written");
    return gate::kScanOutputError;
  }
  return files.Commit() ? 0 : gate::kScanOutputError;
}

}  // namespace packprobe::scan
