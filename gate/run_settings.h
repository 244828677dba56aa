// What decides a run: which paths it checks, the ranges and filters, the
// policy for warnings and the manifest. A report's header states it whole,
// so that a merge of shards judges exactly as one run would.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "component/verdict.h"
#include "gate/selection.h"
#include "gate/shard.h"

namespace packprobe::gate {

// Which paths a run looks at.
struct Selection {
  std::vector<std::string> paths;  // named on the command line, UTF-8
  std::string filesFrom;           // "-": standard input; empty: none
  bool nullSeparated = false;      // the list's paths end in NUL, not a line end
  std::vector<ExcludePattern> exclude;
  bool follow = false;  // search folders reached through symbolic links too
  bool operator==(const Selection&) const = default;
};

// A known exception, kept in the repository with its reason: a failure or
// a warning of one code at the paths a pattern names no longer fails the
// gate, and every report says it was waived and why.
struct Waiver {
  std::string path;  // a pattern (gate/selection.h), relative to base
  std::string base;  // the configuration file's folder, absolute, "/" between parts
  std::string code;  // an outcome, a reason's code or a warning's code
  std::string reason;
  std::string until;  // the last day it waives, "YYYY-MM-DD"; empty: no end
  bool operator==(const Waiver&) const = default;
};

// What the judgement makes of warnings and known exceptions.
struct Policy {
  bool strict = false;               // every warning fails its component
  std::vector<std::string> errorOn;  // these warnings fail their component
  std::vector<std::string> ignore;   // these warnings fail nothing and are not counted
  std::vector<Waiver> waivers;
  bool operator==(const Policy&) const = default;
};

// Who may sign the components and their setup programs, and what must be
// signed. The trust anchors are read once, before the checks start.
struct SigningPolicy {
  std::vector<std::string> trust;    // PEM files of trust anchors, as named
  std::vector<std::string> signers;  // pinned signers: SHA-256 fingerprints or subjects
  bool requireStub = false;          // the component file must carry a valid signature
  bool requireSetup = false;         // and so must its setup program
  bool operator==(const SigningPolicy&) const = default;
};

struct RunSettings {
  Selection selection;
  CheckCriteria criteria;
  Policy policy;
  SigningPolicy signing;
  // The release manifest checked against (its path as given); empty: none.
  std::string manifest;
  bool hash = false;        // records carry their file's SHA-256 (always with a manifest)
  bool allowEmpty = false;  // finding no component passes rather than exiting 3
  std::optional<Shard> shard;
  unsigned jobs = 1;
  // The configuration file that was read, as named or found; empty: none.
  std::string config;

  bool Hashing() const { return hash || !manifest.empty(); }
  bool operator==(const RunSettings&) const = default;
};

// True when the criteria's ranges are not the defaults.
bool RangesGiven(const CheckCriteria& criteria);

}  // namespace packprobe::gate
