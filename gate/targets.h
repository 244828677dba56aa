// The components of a scan: paths named, folders searched, a list read,
// sorted, and split into stable shares.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gate/selection.h"

namespace packprobe::gate {

struct Target {
  // The path as named, or the folder named joined with the relative path, in
  // the system's own form (a path object would also hold its parts).
  std::filesystem::path::string_type native;
  // The path as UTF-8 with "/" between its parts on every system: the sort
  // key and the report's "path", alike on every system.
  std::string display;
  // The path relative to the folder named, or the file name of a file named
  // directly, with "/" between its parts: what a release manifest and the
  // shares key on.
  std::string relative;
  // Set when the search itself failed here, so that there is no component
  // to inspect but a record to give: "folder-unreadable" (a folder that
  // cannot be listed) or "folder-loop" (with --follow, a link back to a
  // folder being searched). searchDetail names the path and the cause.
  std::string searchCode;
  std::string searchDetail;
};

struct SearchOptions {
  bool followFolderLinks = false;  // --follow: search linked folders too
  // Entries matching one of these patterns (gate/selection.h) are left out:
  // a pattern without a base matches the path relative to the folder for
  // entries found in one, the path as given for paths named.
  std::vector<ExcludePattern> exclude;
};

// What a search passed over without a record, for the message of a scan
// that found nothing.
struct SearchNotes {
  std::size_t folderLinksSkipped = 0;  // links to folders not followed
  // Every pattern, with the number of entries it left out (the first
  // pattern that matches an entry counts it).
  std::vector<std::size_t> excludedBy;
};

// Collects the targets of the given paths, in sorted order of display, each
// path once:
// - a folder is searched recursively for entries whose names end in ".exe"
//   in any letter case that are not folders: regular files, links to them,
//   and also what the check will refuse with a reason (dangling links, link
//   loops, pipes, devices, sockets, links to them). Links to folders are
//   searched with options.followFolderLinks, where a link back to a folder
//   being searched is a target with searchCode "folder-loop"; otherwise they
//   are counted in notes;
// - anything else (a file, or nothing at all) is one target whose relative
//   path is its file name.
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

// The first of paths that is a folder, as records show it (the folder
// that absent manifest entries are placed in); empty when none is.
std::string FirstFolder(const std::vector<std::filesystem::path>& paths);

// The path made absolute and lexically normal, with "/" between its parts:
// what exclude patterns with a base match against.
std::string AbsoluteGeneric(const std::filesystem::path& path);

// The path with "/" between its parts on every system, as UTF-8 (POSIX: its
// bytes as they are, which need not be UTF-8).
std::string GenericUtf8(const std::filesystem::path& path);

// The path that a UTF-8 argument names (POSIX: its bytes as they are).
std::filesystem::path PathFromUtf8(const std::string& utf8);

// A path in the system's own form as the inspection takes it.
std::u16string PathToUtf16(const std::filesystem::path::string_type& native);

}  // namespace packprobe::gate
