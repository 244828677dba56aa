// Opening regular files only, for the POSIX services that open files by
// path (the file service and the stream service share it).
#pragma once

#include "platform/host_fault.h"

namespace packprobe::platform {

// Opens path with flags (O_RDONLY or O_RDWR) for a regular file only:
// never waits on a pipe, never becomes a controlling terminal, closes on
// exec. The descriptor, or -1; *fault is then the host's fault, or kNone
// when the path names no regular file.
int OpenRegularFile(const char* path, int flags, HostFault* fault);

}  // namespace packprobe::platform
