#include <CLI/CLI.hpp>

#include <algorithm>
#include <memory>

#include "gate/exit_codes.h"
#include "gate/shares.h"
#include "gate/targets.h"
#include "platform/stdio_file.h"
#include "release/manifest_file.h"
#include "report/jsonl.h"
#include "report/jsonl_reader.h"
#include "scan/commands.h"
#include "scan/judged_run.h"
#include "scan/merge.h"
#include "util/shown_text.h"

namespace packprobe::scan {
namespace {

constexpr const char* kDescription =
    "Joins the JSON Lines reports of the shards of one scan (--shard K/N, every K\n"
    "from 0 to N-1, each once) into the report that one unsharded run gives: the\n"
    "records read back to what their checks found and judged once over the whole\n"
    "(duplicates across shards, the manifest, --strict and the policy), with the\n"
    "unsharded run's exit code.";

constexpr const char* kFooter =
    "The policy options replace the shards' own (the reports keep the warnings\n"
    "their policy ignored, so any policy can be applied).\n"
    "\n"
    "Exit codes: those of a scan (0 to 4), or\n"
    "  64  usage error\n"
    "  65  a report cannot be read, is cut (no closing record), malformed, of another\n"
    "      schema or other options, contradicts itself, or the shares do not fit (a\n"
    "      gap, a share twice, a path in two shares, shards that searched different\n"
    "      trees); the manifest cannot be read or is not the shards' own\n"
    "  74  a report could not be written\n";

struct Input {
  std::string name;
  platform::StdioFile file;
  std::unique_ptr<report::ReportReader> reader;
  report::RunHeader header;
  std::optional<gate::ScanRecord> next;  // the next record in path order
  bool closed = false;
};

int DataError(const std::string& message) {
  const std::string line = "packprobe-scan merge: " + EscapeControls(message) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return gate::kScanDataError;
}

// Reads the input's next record into next; false with why in error.
bool Advance(Input& input, std::string& error) {
  input.next.reset();
  if (input.closed) return true;
  gate::ScanRecord record;
  switch (input.reader->ReadRecord(record, error)) {
    case report::ReportReader::Next::kRecord: input.next = std::move(record); return true;
    case report::ReportReader::Next::kClosed:
      input.closed = true;
      if (!input.reader->AtEnd()) {
        error = input.name + ": lines after the closing record";
        return false;
      }
      return true;
    case report::ReportReader::Next::kFailed: return false;
  }
  return false;
}

}  // namespace

gate::Policy Overridden(gate::Policy policy, const PolicyOverride& override) {
  if (override.strict) policy.strict = *override.strict;
  const auto drop = [](std::vector<std::string>& from, const std::vector<std::string>& codes) {
    std::erase_if(from, [&](const std::string& code) {
      return std::find(codes.begin(), codes.end(), code) != codes.end();
    });
  };
  if (override.errorOn) {
    policy.errorOn = *override.errorOn;
    if (!override.ignore) drop(policy.ignore, *override.errorOn);
  }
  if (override.ignore) {
    policy.ignore = *override.ignore;
    if (!override.errorOn) drop(policy.errorOn, *override.ignore);
  }
  return policy;
}

int Merge(const MergeRequest& request) {
  std::vector<Input> inputs;
  inputs.reserve(request.inputs.size());
  std::vector<gate::ShareReport> shares;
  std::string error;
  for (const std::string& name : request.inputs) {
    Input input;
    input.name = name;
    platform::HostFault fault = platform::HostFault::kNone;
    input.file = platform::OpenFileForReading(gate::PathToUtf16(gate::PathFromUtf8(name).native()), &fault);
    if (!input.file) {
      return DataError("cannot read \"" + name + "\": " +
                       (fault == platform::HostFault::kNone ? std::string("it is no regular file that exists")
                                                            : std::string(platform::HostFaultText(fault))));
    }
    input.reader = std::make_unique<report::ReportReader>(name, input.file.get());
    if (!input.reader->ReadHeader(input.header, error)) return DataError(error);
    shares.push_back({name, report::SettingsKey(input.header), input.header.settings.shard});
    inputs.push_back(std::move(input));
  }
  if (error = gate::CheckShares(shares); !error.empty()) return DataError(error);

  // The run the shards were parts of, under merge's own policy if given.
  ScanOptions options;
  options.out = request.out;
  options.run = inputs.front().header.settings;
  options.run.shard.reset();
  options.run.policy = Overridden(options.run.policy, request.policy);
  report::RunHeader header = inputs.front().header;
  header.settings = options.run;
  std::optional<std::vector<gate::ManifestEntry>> manifest;
  if (!options.run.manifest.empty()) {
    const std::string path = request.manifest.empty() ? options.run.manifest : request.manifest;
    std::string sha256;
    manifest = release::LoadManifest(path, error, &sha256);
    if (!manifest) return DataError(error + " (--manifest names where it is)");
    if (sha256 != header.manifestSha256) {
      return DataError("the manifest \"" + path + "\" is not the one the shards were checked against (its SHA-256 is " +
                       sha256 + ", theirs " + header.manifestSha256 + ")");
    }
  }

  OutputFiles files("packprobe-scan merge");
  JudgedRun run(options, header, manifest ? &*manifest : nullptr, files,
                ExcludedEntries(options.run.selection, header.folder));
  // Held until whole: an input found wrong at its end leaves nothing written.
  if (!run.Open(true)) return gate::kScanOutputError;
  for (Input& input : inputs) {
    if (!Advance(input, error)) return DataError(error);
  }
  // The shards' records, each share in path order, joined in path order.
  while (true) {
    Input* least = nullptr;
    for (Input& input : inputs) {
      if (!input.next) continue;
      if (least != nullptr && input.next->path == least->next->path) {
        return DataError("\"" + ShownPath(input.next->path) + "\" is in " + least->name + " and in " + input.name +
                         ": the shares overlap (did the folders differ between the runs?)");
      }
      if (least == nullptr || input.next->path < least->next->path) least = &input;
    }
    if (least == nullptr) break;
    if (!run.Add(std::move(*least->next))) break;  // the report failed: Finish says why
    if (!Advance(*least, error)) return DataError(error);
  }
  std::vector<std::string> names;
  std::vector<gate::FoundPaths> found;
  double elapsedMs = 0;
  for (const Input& input : inputs) {
    if (!input.closed) continue;  // the main report failed part-way
    names.push_back(input.name);
    found.push_back(input.reader->closing().found);
    elapsedMs = std::max(elapsedMs, input.reader->closing().elapsedMs);
  }
  if (error = gate::CheckFoundAgree(names, found); !error.empty()) return DataError(error);
  const std::size_t excluded = inputs.front().closed ? inputs.front().reader->closing().excluded : 0;
  return run.Finish(found.empty() ? gate::FoundPaths{} : found.front(), excluded, elapsedMs / 1000);
}

int RunMerge(const std::vector<std::string>& arguments, unsigned defaultJobs) {
  CLI::App app(kDescription, "packprobe-scan merge");
  app.footer(kFooter);
  MergeRequest request;
  app.add_option("REPORT", request.inputs, "JSON Lines reports of the shards")->required()->option_text(" ");
  OptionGroups groups;
  groups.policy = groups.manifest = groups.output = groups.reports = true;
  CommandLineParser parser(app, "packprobe-scan merge", groups, defaultJobs);
  if (const std::optional<int> done = parser.Parse(arguments, 2)) return *done;
  const ScanOptions& options = parser.options();
  if (parser.Given("strict") || parser.Given("no-strict")) request.policy.strict = options.run.policy.strict;
  if (parser.Given("error-on")) request.policy.errorOn = options.run.policy.errorOn;
  if (parser.Given("ignore")) request.policy.ignore = options.run.policy.ignore;
  request.manifest = options.run.manifest;
  request.out = options.out;
  return Merge(request);
}

}  // namespace packprobe::scan
