// Existence tests of files by path.
#pragma once

#include <string>

namespace packprobe::platform {

// True unless the attribute query fails for path; a directory exists too.
bool FileExists(const std::u16string& path);

// Why a file that steers a run (a configuration file) might hold what a
// stranger wrote: it is owned by a user other than this one (or the
// administrator), or anyone may write it. Empty when neither, or when the
// system keeps no such facts of files.
std::string WritableByOthers(const std::u16string& path);

}  // namespace packprobe::platform
