// Listing the entries of a directory, for searches of folders.
#pragma once

#include <string>
#include <vector>

#include "platform/system_path.h"

namespace packprobe::platform {

// The names in the directory at path, without "." and "..", in the order
// the system gives them. False, with the system's reason in error, when the
// directory cannot be opened or read to its end (what was read is kept).
// Running out of memory throws std::bad_alloc, as the standard library's
// own listing cannot promise (its error-code forms may not fail, yet
// allocate).
bool ListDirectory(const NativePath& path, std::vector<NativePath>& names, std::string& error);

}  // namespace packprobe::platform
