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
  std::uint64_t shardHash = 0;  // FNV-1a 64 of the shard key (see CollectTargets)
  // Set when the search itself failed here, so that there is no component
  // to inspect but a record to give: "folder-unreadable" (a folder that
  // cannot be listed) or "folder-loop" (with --follow, a link back to a
  // folder being searched). searchDetail names the path and the cause.
  std::string searchCode;
  std::string searchDetail;
};

struct SearchOptions {
  bool followFolderLinks = false;  // --follow: search linked folders too
  // Entries matching one of these globs (scan/selection.h) are left out: the
  // key is the path relative to the folder for entries found in one, the
  // path as given for paths named.
  std::vector<std::string> exclude;
};

// What a search passed over without a record, for the message of a scan
// that found nothing.
struct SearchNotes {
  std::size_t folderLinksSkipped = 0;  // links to folders not followed
};

// Collects the targets of the given paths, in sorted order of display, each
// path once:
// - a folder is searched recursively for entries whose names end in ".exe"
//   in any letter case that are not folders: regular files, links to them,
//   and also what the check will refuse with a reason (dangling links, link
//   loops, pipes, devices, sockets, links to them). Links to folders are
//   searched with options.followFolderLinks, where a link back to a folder
//   being searched is a target with searchCode "folder-loop"; otherwise they
//   are counted in notes. The shard key of each entry found is its path
//   relative to the folder, with "/" between its parts;
// - anything else (a file, or nothing at all) is one target whose shard key
//   is the path as given, with "/" between its parts.
// Only the shard key's hash is kept: memory per target is its paths.
// A folder that cannot be listed, or whose listing fails part-way, yields a
// target of its own with searchCode "folder-unreadable", and the search goes
// on with the other folders.
std::vector<Target> CollectTargets(const std::vector<std::filesystem::path>& paths,
                                   const SearchOptions& options = {}, SearchNotes* notes = nullptr);

// Why a path that the check found missing or not a regular file is so, when
// a link or the kind of file explains it better than the check can: a
// dangling link, a link loop, a named pipe, a device, a socket, or a path
// longer than the system opens ("path-too-long": the host's limit, not a
// missing file). Empty code when there is nothing to add.
struct EntryReason {
  std::string code;
  std::string detail;
};
EntryReason DescribeEntry(const std::filesystem::path& path);

// The paths listed in text, one per line: line ends "\n" or "\r\n", empty
// lines skipped.
std::vector<std::string> SplitPathList(std::string_view text);

// FNV-1a, 64 bits, of the bytes of text.
std::uint64_t Fnv1a64(std::string_view text);

// The share (0 to count - 1) that a target belongs to: FNV-1a 64 of its
// shard key, modulo count. Independent of the machine, the folder's place
// and the other paths, so every worker computes the same split.
std::uint32_t ShardOf(const Target& target, std::uint32_t count);

// The path with "/" between its parts on every system, as UTF-8 (POSIX: its
// bytes as they are, which need not be UTF-8).
std::string GenericUtf8(const std::filesystem::path& path);

// The path that a UTF-8 argument names (POSIX: its bytes as they are).
std::filesystem::path PathFromUtf8(const std::string& utf8);

// A path in the system's own form as the inspection takes it.
std::u16string PathToUtf16(const std::filesystem::path::string_type& native);

}  // namespace packprobe::scan
