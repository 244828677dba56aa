// packprobe-scan snapshot: the release manifest of a folder.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <system_error>

#include "scan/manifest.h"
#include "scan/shown_text.h"
#include "scan/subcommand.h"
#include "scan/scanner.h"
#include "scan/targets.h"
#include "util/text.h"

namespace packprobe::scan {
namespace {


constexpr const char* kSnapshotFooter =
    "Writes the release manifest of the components found: for each, its path\n"
    "relative to the folder named (the file name for a file named directly),\n"
    "display name, category, type, both versions, size and SHA-256, as JSON with\n"
    "one component a line. Check a release against it with --manifest FILE.\n"
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

void Say(const std::string& text) {
  std::fputs(("packprobe-scan: snapshot: " + EscapeControls(text) + "\n").c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace

int RunSnapshotProgram(const std::vector<std::string>& arguments, unsigned defaultJobs) {
  CLI::App app("Writes the release manifest of the components under PATH.",
               "packprobe-scan snapshot");
  app.footer(kSnapshotFooter);
  std::vector<std::string> paths;
  std::string output;
  unsigned jobs = defaultJobs;
  app.add_option("PATH", paths, "component files, or folders searched for *.exe")
      ->option_text(" ")
      ->required();
  app.add_option("-o,--output", output, "write the manifest to FILE (default: standard output)")
      ->option_text("FILE");
  app.add_option("-j,--jobs", jobs, "parallel checks (default: the number of cores)")
      ->check(CLI::Range(1u, 1024u))
      ->option_text("N");
  if (const std::optional<int> done = ParseSubcommandLine(app, arguments, 2)) return *done;

  std::vector<std::filesystem::path> named;
  for (const std::string& path : paths) named.push_back(PathFromUtf8(path));
  const std::vector<Target> targets = CollectTargets(named);
  if (!output.empty()) {
    // The manifest must not replace a component it describes.
    const std::filesystem::path target = PathFromUtf8(output);
    for (const Target& component : targets) {
      std::error_code code;
      if (std::filesystem::equivalent(std::filesystem::path(component.native), target, code)) {
        Say("-o \"" + output + "\" is one of the components to snapshot");
        return kScanUsage;
      }
    }
  }

  std::vector<ManifestEntry> entries;
  std::map<std::string, std::string> owners;  // manifest path -> the component's path
  bool failed = false;
  bool clash = false;
  CheckAll(targets, CheckCriteria{}, jobs, [&](ScanRecord&& record) {
    if (!record.inspected || !record.sha256 || ScanExitCode(record.outcome) == kScanFailed) {
      failed = true;
      Say(record.path + ": " + std::string(OutcomeName(record.outcome)) +
          (record.reason ? ": " + record.reason->code + ": " + record.reason->detail : ""));
      return true;
    }
    // A manifest is UTF-8 JSON: a name that is not UTF-8 could only be
    // written with its odd bytes replaced, keying some other file, or two
    // files alike.
    if (!Utf8ToUtf16Strict(record.relativePath)) {
      failed = true;
      Say(record.path + ": its path is not valid UTF-8, which a manifest cannot hold exactly");
      return true;
    }
    const auto [owner, inserted] = owners.emplace(record.relativePath, record.path);
    if (!inserted) {
      clash = true;
      Say(record.path + " and " + owner->second + " share the manifest path \"" +
          record.relativePath + "\"; snapshot them separately");
      return true;
    }
    entries.push_back(EntryOfRecord(record));
    return true;
  }, {}, true);
  if (failed) return kScanFailed;
  if (clash) return kScanUsage;
  if (entries.empty()) {
    std::string named_list;
    for (const std::string& path : paths) named_list += (named_list.empty() ? "" : ", ") + path;
    Say("no component found in " + named_list + "; no manifest written");
    return kScanNothingChecked;
  }
  std::sort(entries.begin(), entries.end(),
            [](const ManifestEntry& a, const ManifestEntry& b) { return a.path < b.path; });
  const std::string text = ManifestText(entries);
  if (output.empty()) {
    const bool ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
                    std::fflush(stdout) == 0;
    if (!ok) {
      Say("the manifest could not be written to standard output");
      return kScanOutputError;
    }
    return 0;
  }
  std::string error;
  if (!WriteFileWhole(PathFromUtf8(output), text, error)) {
    Say("\"" + output + "\" " + error);
    return kScanOutputError;
  }
  return 0;
}

}  // namespace packprobe::scan
