// packprobe-scan diff: what changed between two releases, each given as a
// folder, a JSON Lines report or a release manifest.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/manifest.h"

namespace packprobe::scan {

enum class ChangeKind { kAdded, kRemoved, kUpgraded, kDowngraded, kContentChanged, kRenamed };

// "added", "removed", "upgraded", "downgraded", "content-changed", "renamed".
std::string_view ChangeName(ChangeKind kind);

struct Change {
  ChangeKind kind = ChangeKind::kAdded;
  std::string path;     // in the new release; the old one's for a removed component
  std::string oldPath;  // in the old release; empty for an added component
  std::optional<ManifestEntry> before;  // none for added
  std::optional<ManifestEntry> after;   // none for removed
  std::string detail;                   // one English sentence
};

// The changes from one release to another, in path order. Components are
// matched by path; a removed and an added component with the same SHA-256
// are one renamed component. A version that went down anywhere makes a
// downgrade, else one that went up an upgrade; same versions with other
// bytes, metadata or inspection result are a content change.
std::vector<Change> DiffReleases(const std::vector<ManifestEntry>& before,
                                 const std::vector<ManifestEntry>& after);

// What a diff input holds: its components (sorted by path), or why it could
// not be read.
struct Release {
  std::vector<ManifestEntry> entries;
  std::string error;  // empty when read whole
};

// Reads a diff input: a folder is scanned with hashing on; a file is a
// release manifest or a JSON Lines report of packprobe-scan.
Release LoadRelease(const std::string& path, unsigned jobs);

// packprobe-scan diff OLD NEW [--format text|jsonl|markdown] [-o FILE].
// Returns 0 when nothing changed, 1 when something did, 64 for a usage
// error, 65 when an input cannot be read, 74 when the output fails.
int RunDiffProgram(const std::vector<std::string>& arguments, unsigned defaultJobs);

}  // namespace packprobe::scan
