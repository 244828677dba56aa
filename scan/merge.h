// packprobe-scan merge: the JSON Lines reports of the shards of a scan
// joined into the report one unsharded run would give.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scan/report.h"
#include "scan/scan_options.h"
#include "scan/scan_record.h"

namespace packprobe::scan {

// One report read whole: its header's options, its records and what its
// closing record says.
struct ShardReport {
  std::string name;             // the file it came from
  std::string schema;
  ScanOptions options;          // as its header states them
  std::string optionsKey;       // the header's options without shard and jobs, as compact JSON
  std::vector<ScanRecord> records;
  int exitCode = 0;             // the closing record's
  double elapsedMs = 0;
};

// Reads a report from its text; nothing, with why in error, when it is not
// a whole JSON Lines report (no header, a malformed line, no closing record,
// anything after it, or a total that is not the number of records).
std::optional<ShardReport> ReadShardReport(std::string name, std::string_view text, std::string& error);

// The merged run: every record of the shards in path order, judged anew
// (duplicates across shards, --strict and the policy over the whole), with
// the unsharded run's exit code. Nothing, with why in error, when the
// reports do not share one schema and one set of options, or are not the
// shares 0..N-1 of one N, each once, with no path in two of them.
struct MergedRun {
  ScanOptions options;
  std::vector<ScanRecord> records;
  ScanSummary summary;
  int exitCode = 0;
};
// A policy given to merge itself, in place of the one the shards ran with.
struct PolicyOverride {
  std::optional<bool> strict;
  std::optional<std::vector<std::string>> errorOn;
  std::optional<std::vector<std::string>> ignore;
};
std::optional<MergedRun> MergeShards(std::vector<ShardReport> shards, std::string& error,
                                     const PolicyOverride& policy = {});

// "packprobe-scan merge ...": arguments from "merge" on. Returns the exit code.
int RunMergeProgram(const std::vector<std::string>& arguments);

}  // namespace packprobe::scan
