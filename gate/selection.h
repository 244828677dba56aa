// Which paths a run checks beyond those it finds: exclude patterns and lists
// of paths. Pure: no file system.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace packprobe::gate {

// Whether a glob matches a path with "/" between its parts. "*" and "?"
// match within one part, "**" matches across parts, "[abc]"/"[!a-z]" one
// character of a set; "\" takes the next character literally. A glob
// without "/" is matched against every part of the path (a file or folder
// name anywhere); a glob with "/" against the whole path or any leading
// part of it that ends at a folder (so "legacy/old" excludes what is below
// it).
bool GlobMatchesPath(std::string_view glob, std::string_view path);

// Why a glob matches nothing as written: empty, a "[" never closed (write
// "\[" for the character itself), a "\" at its end. Empty when it is a glob.
std::string GlobError(std::string_view glob);

// An exclude pattern and the folder its paths are relative to.
struct ExcludePattern {
  std::string glob;
  // Empty: the path relative to the folder named (the command line's
  // patterns). Otherwise a folder (the configuration file's, relative to
  // the current folder or absolute, with "/" between its parts), so that a
  // repository's patterns keep their meaning whichever of its folders is
  // scanned, as ignore files do.
  std::string base;
  bool operator==(const ExcludePattern&) const = default;
};

// The path made absolute against folder (an absolute folder; when path is
// relative) and lexically normal, with "/" between its parts.
std::string JoinedPath(const std::string& folder, const std::string& path);

// The patterns with their bases made absolute against the current folder,
// as Excluded takes them.
std::vector<ExcludePattern> Resolved(std::vector<ExcludePattern> patterns, const std::string& currentFolder);

// Whether any pattern excludes an entry, given its path relative to the
// folder named and its absolute path (both with "/" between their parts).
// A pattern with a base (absolute: Resolved) matches the path relative to
// its base, and nothing outside it.
bool Excluded(const std::vector<ExcludePattern>& patterns, std::string_view relative,
              std::string_view absolute);

// The paths listed in text, each ended by a NUL byte (the last one may lack
// it); empty entries skipped.
std::vector<std::string> SplitNulList(std::string_view text);

// The paths listed in text, one per line: line ends "\n" or "\r\n", empty
// lines skipped.
std::vector<std::string> SplitPathList(std::string_view text);

}  // namespace packprobe::gate
