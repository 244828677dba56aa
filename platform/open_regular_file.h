// Opening regular files only, for the POSIX services that open files by
// path (the file service and the stream service share it).
#pragma once

namespace packprobe::platform {

// Opens path with flags (O_RDONLY or O_RDWR) for a regular file only:
// never waits on a pipe, never becomes a controlling terminal, closes on
// exec. The descriptor, or -1; a failure of the host is noted
// (host_fault.h), a path that names no regular file is not.
int OpenRegularFile(const char* path, int flags);

}  // namespace packprobe::platform
