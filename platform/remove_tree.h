// Removing a directory tree whatever its permissions.
#pragma once

#include "platform/system_path.h"

namespace packprobe::platform {

// Removes path and everything below it, giving read-only files and
// directories their write permission back first. Quiet: what cannot be
// removed stays. Never throws and, on POSIX, allocates nothing.
void RemoveTree(const NativePath& path) noexcept;

#ifndef _WIN32
// The same, callable from a signal handler (errno is kept).
void RemoveTreeSignalSafe(const char* path);

// Removes the directory at path, whose descriptor is open, with what it
// holds, without opening the directory again: it works when descriptors
// have run out (only folders inside it need new ones). Callable from a
// signal handler (errno is kept).
void RemoveTreeWithDescriptorSignalSafe(int descriptor, const char* path);
#endif

}  // namespace packprobe::platform
