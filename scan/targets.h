// The components of a scan: paths named, folders searched, a list read,
// sorted, and split into stable shares.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace packprobe::scan {

struct Target {
  // The path as named, or the folder named joined with the relative path, in
  // the system's own form (a path object would also hold its parts).
  std::filesystem::path::string_type native;
  // The path as UTF-8 with "/" between its parts on every system: the sort
  // key and the report's "path", alike on every system.
  std::string display;
  // The path relative to the folder named, or the file name of a file named
  // directly, with "/" between its parts: what a release manifest keys on.
  std::string relative;
  std::uint64_t shardHash = 0;  // FNV-1a 64 of the shard key (see CollectTargets)
  std::string folderError;     // set when a folder could not be read: no component, a failure
};

// Collects the targets of the given paths, in sorted order of display, each
// path once:
// - a folder is searched recursively for files whose names end in ".exe" in
//   any letter case (symbolic links to folders are not followed); the shard
//   key of each file found is its path relative to the folder, with "/"
//   between its parts;
// - anything else (a file, or nothing at all) is one target whose shard key
//   is the path as given, with "/" between its parts.
// Only the shard key's hash is kept: memory per target is its paths.
// A folder that cannot be read, or whose search fails part-way, yields a
// target of its own with folderError set.
std::vector<Target> CollectTargets(const std::vector<std::filesystem::path>& paths);

// The paths listed in text, one per line: line ends "\n" or "\r\n", empty
// lines skipped.
std::vector<std::string> SplitPathList(std::string_view text);

// FNV-1a, 64 bits, of the bytes of text.
std::uint64_t Fnv1a64(std::string_view text);

// The share (0 to count - 1) that a target belongs to: FNV-1a 64 of its
// shard key, modulo count. Independent of the machine, the folder's place
// and the other paths, so every worker computes the same split.
std::uint32_t ShardOf(const Target& target, std::uint32_t count);

// The path that a UTF-8 argument names (POSIX: its bytes as they are).
std::filesystem::path PathFromUtf8(const std::string& utf8);

// A path in the system's own form as the inspection takes it.
std::u16string PathToUtf16(const std::filesystem::path::string_type& native);

}  // namespace packprobe::scan
