// packprobe-scan merge: the JSON Lines reports of the shards of a scan read
// back to what their checks found and judged once, as one unsharded run.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "gate/run_settings.h"
#include "scan/command_line.h"

namespace packprobe::scan {

// A policy given to merge itself, in place of the one the shards ran with;
// a code it names leaves the shards' other list.
struct PolicyOverride {
  std::optional<bool> strict;
  std::optional<std::vector<std::string>> errorOn;
  std::optional<std::vector<std::string>> ignore;
};

gate::Policy Overridden(gate::Policy policy, const PolicyOverride& override);

struct MergeRequest {
  std::vector<std::string> inputs;  // the reports, UTF-8 paths
  PolicyOverride policy;
  std::string manifest;  // where the shards' manifest is; empty: as their header names it
  OutputOptions out;
};

// Reads the reports, checks that they are the shares of one run (65 with a
// message naming them otherwise, and nothing written), judges their
// records as one run and writes its reports. The exit code.
int Merge(const MergeRequest& request);

}  // namespace packprobe::scan
