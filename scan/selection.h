// Which paths a scan checks beyond those it finds: --exclude patterns and
// NUL-separated path lists.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace packprobe::scan {

// Whether a glob matches a path with "/" between its parts. "*" and "?"
// match within one part, "**" matches across parts, "[abc]"/"[!a-z]" one
// character of a set; "\" takes the next character literally. A glob
// without "/" is matched against every part of the path (a file or folder
// name anywhere); a glob with "/" against the whole path or any leading
// part of it that ends at a folder (so "legacy/old" excludes what is below
// it).
bool GlobMatchesPath(std::string_view glob, std::string_view path);

// Whether any of the globs matches the path.
bool Excluded(const std::vector<std::string>& globs, std::string_view path);

// The paths listed in text, each ended by a NUL byte (the last one may lack
// it); empty entries skipped.
std::vector<std::string> SplitNulList(std::string_view text);

}  // namespace packprobe::scan
