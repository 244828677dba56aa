// Files opened through the C runtime's stream functions, by UTF-16 path.
#pragma once

#include <cstdio>
#include <memory>
#include <string_view>

#include "platform/host_fault.h"

namespace packprobe::platform {

struct StdioFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using StdioFile = std::unique_ptr<std::FILE, StdioFileCloser>;

// Opens the regular file at path for reading bytes, untranslated. Returns
// null when it cannot be opened, when it is no regular file (a directory, a
// pipe, a device: their sizes mean nothing and a pipe could block), or when
// the path cannot be named on this system (an unpaired surrogate or a null
// code unit in it). A path is never shortened or altered, so a failure never
// opens some other file. Paths of any length are accepted. On failure
// *fault (when given) is the host's fault, or kNone when the path names no
// regular file that exists.
StdioFile OpenFileForReading(std::u16string_view path, HostFault* fault = nullptr);

// Opens whatever path names for reading bytes, untranslated: a regular
// file, a pipe or a device (a list of paths may come from a pipe); it waits
// as the system does. Null when it cannot be opened, with errno (on POSIX)
// or the runtime's errno (on Windows) saying why; a path that cannot be
// named on this system gives ENOENT.
StdioFile OpenStreamForReading(std::u16string_view path);

// Opens the file at path for appending bytes, untranslated, creating it
// when it does not exist. Null when it cannot be opened, with errno as for
// OpenStreamForReading.
StdioFile OpenStreamForAppending(std::u16string_view path);

// Makes binary, untranslated access the runtime's default for files opened
// from now on, for the rest of the process. Nothing to do where files have
// no text mode.
void SetBinaryDefaultFileMode();

}  // namespace packprobe::platform
