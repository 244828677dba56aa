// The release manifest file: what a known-good release holds, one component
// a line, keys always in one order, so that a review shows a changed
// component as one changed line.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gate/manifest_check.h"

namespace packprobe::release {

using gate::ManifestEntry;

inline constexpr std::string_view kManifestSchema = "packprobe-manifest/1";

// The whole manifest text of entries, in their order.
std::string ManifestText(const std::vector<ManifestEntry>& entries);

// One entry as a JSON object text, keys in manifest order.
std::string EntryJson(const ManifestEntry& entry);

// A manifest read: its entries sorted by path, or why it is none.
struct ManifestRead {
  std::vector<ManifestEntry> entries;
  std::string error;  // empty when the text was a whole manifest
};

// Reads a manifest's text, checking every field's type, that no key appears
// twice in an object and no path twice in the manifest.
ManifestRead ParseManifest(std::string_view text);
// The same from a stream, its components taken one at a time.
ManifestRead ParseManifest(std::FILE* stream);

// The largest manifest file read: a manifest line is a few hundred bytes,
// so this holds millions of components.
inline constexpr std::uint64_t kMaxManifestBytes = std::uint64_t{1} << 30;

// Reads the manifest file named (UTF-8). Nothing, with why in error ("the
// manifest "x" cannot be read: ...", "... is malformed: ..."), otherwise.
// sha256, when given, receives the file's SHA-256 as 64 hex digits.
std::optional<std::vector<ManifestEntry>> LoadManifest(const std::string& path, std::string& error,
                                                       std::string* sha256 = nullptr);

}  // namespace packprobe::release
