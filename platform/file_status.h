// Existence tests of files by path.
#pragma once

#include <string>

namespace packprobe::platform {

// True unless the attribute query fails for path; a directory exists too.
bool FileExists(const std::u16string& path);

}  // namespace packprobe::platform
