// Existence tests and deletion of files by path.
#pragma once

#include <string>

namespace packprobe::platform {

// True unless the attribute query fails for path; a directory exists too.
bool FileExists(const std::u16string& path);

// Deletes the file at path, read-only or not. True on success.
bool DeleteFile(const std::u16string& path);

}  // namespace packprobe::platform
