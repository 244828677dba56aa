// What changed between two releases, each given as a folder, a JSON Lines
// report or a release manifest.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gate/check.h"
#include "gate/manifest_check.h"
#include "gate/run_settings.h"

namespace packprobe::release {

using gate::ManifestEntry;

enum class ChangeKind { kAdded, kRemoved, kUpgraded, kDowngraded, kSignerChanged, kContentChanged, kRenamed };

struct ChangeRow {
  ChangeKind kind;
  std::string_view name;
};
inline constexpr ChangeRow kChanges[] = {
    {ChangeKind::kAdded, "added"},           {ChangeKind::kRemoved, "removed"},
    {ChangeKind::kUpgraded, "upgraded"},     {ChangeKind::kDowngraded, "downgraded"},
    {ChangeKind::kSignerChanged, "signer-changed"},
    {ChangeKind::kContentChanged, "content-changed"}, {ChangeKind::kRenamed, "renamed"},
};

std::string_view ChangeName(ChangeKind kind);

struct Change {
  ChangeKind kind = ChangeKind::kAdded;
  std::string path;     // in the new release; the old one's for a removed component
  std::string oldPath;  // in the old release; empty for an added component
  std::optional<ManifestEntry> before;  // none for added
  std::optional<ManifestEntry> after;   // none for removed
  std::string detail;                   // one English sentence
  bool operator==(const Change&) const = default;
};

// The changes from one release to another, in path order. Components are
// matched by path; a removed and an added component with the same SHA-256
// are one renamed component (each arrival pairs with one departure). A
// version that went down anywhere makes a downgrade, else one that went up
// an upgrade; same versions with another signer of the component file or
// its setup program are a signer change (the detail of a version change
// names a new signer too); same versions with other bytes, metadata or
// inspection result are a content change.
std::vector<Change> DiffReleases(const std::vector<ManifestEntry>& before,
                                 const std::vector<ManifestEntry>& after);

// What a diff input holds: its components (sorted by path), or why it could
// not be read.
struct Release {
  std::vector<ManifestEntry> entries;
  std::string error;  // empty when read whole
};

// Reads a diff input: a folder is searched with the selection (its
// patterns, --follow) and checked with hashing on (and signatures against
// check's trust, when given), on `jobs` threads; a
// file is a release manifest, or a JSON Lines report of a whole run (the
// reports of all its shards joined one after the other count as whole).
// The selection's patterns leave out entries of reports and manifests by
// their path in the release; keys, when not empty, are the only paths
// compared.
Release LoadRelease(const std::string& path, const gate::Selection& selection,
                    const std::vector<std::string>& keys, unsigned jobs, const gate::CheckOptions& check = {});

// The changes in a format: text, jsonl (schema packprobe-diff/1) or
// markdown. before and after name the inputs.
std::string DiffText(const std::vector<Change>& changes);
std::string DiffJsonLines(const std::vector<Change>& changes, const std::string& before,
                          const std::string& after, int exitCode);
std::string DiffMarkdown(const std::vector<Change>& changes, const std::string& before,
                         const std::string& after);

}  // namespace packprobe::release
